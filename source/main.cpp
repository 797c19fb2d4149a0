// Module entry: registers the module's plug-ins in their fixed order.
#include "c4d.h"
#include "commands/weightcountrestriction.h"
#include "edgeunderscore/edgeunderscoretag.h"
#include "pmx/pmxsaver.h"
#include "pmxbone/pmxbonetag.h"
#include "pmxedge/pmxedgetag.h"
#include "pmxmorph/pmxmorph.h"
#include "pmxmorphmixer/morphmixer.h"
#include "triangulationlines/trilinesdraw.h"
#include "triangulationlines/trilinesoptions.h"
#include "triangulationlines/trilinesswitches.h"
#include "weighttransfer/weighttransfer.h"

namespace {

/// One step of the start-up chain.
struct Registration {
  const char* plugin;
  Bool (*registerPlugin)();
};

// The order is fixed: documents store the plug-in ids, and the first refusal ends the chain.
constexpr Registration kRegistrations[] = {
    {"PMX scene saver", RegisterPmxSaver},
    {"PMX morph object", RegisterPmxMorphObject},
    {"PMX bone option tag", RegisterPmxBoneOptionTag},
    {"morph mixer command", RegisterPmxMorphMixer},
    {"triangulation line scene hook", RegisterTriLinesDraw},
    {"triangulation line switch", RegisterTriangulationLineDrawSwitch},
    {"triangulation line options command", RegisterTriLinesOptionDlgCmd},
    {"PMX edge drawing switch", RegisterPmxEdgeDrawSwitch},
    {"PMX edge tag", RegisterPmxEdgeTag},
    {"edge underscore tag", RegisterEdgeUnderscoreTag},
    {"weight count restriction command", RegisterWeightCountRestriction},
    {"weight transfer tool", RegisterWeightTransferTool},
};

}  // namespace

Bool PluginStart() {
  for (const Registration& r : kRegistrations) {
    if (!r.registerPlugin()) return false;
  }
  return true;
}

void PluginEnd() {}

Bool PluginMessage(Int32 id, void*) {
  switch (id) {
    case C4DMSG_PRIORITY:
      return true;
    case C4DPL_INIT_SYS:
      return resource.Init();
    default:
      return false;
  }
}
