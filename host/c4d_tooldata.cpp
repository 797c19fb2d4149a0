#include "c4d_tooldata.h"

#include <string>

#include "c4d_host.h"
#include "c4d_plugin.h"
#include "c4d_resource.h"

Bool ToolData::InitTool(BaseDocument*, BaseContainer&, BaseThread*) { return true; }
void ToolData::FreeTool(BaseDocument*, BaseContainer&) {}
void ToolData::InitDefaultSettings(BaseDocument*, BaseContainer&) {}
Int32 ToolData::GetState(BaseDocument*) { return CMD_ENABLED; }
Bool ToolData::Message(BaseDocument*, BaseContainer&, Int32, void*) { return true; }
Bool ToolData::GetDEnabling(BaseDocument*, BaseContainer&, const DescID&, const GeData&,
                            DESCFLAGS_ENABLE, const BaseContainer*) {
  return true;
}

void DescriptionToolData::InitDefaultSettings(BaseDocument*, BaseContainer& data) {
  const host::PluginInfo* p = host::FindPlugin(GetToolPluginId());
  if (!p) return;
  Description d;
  std::string error;
  if (!host::LoadDescriptionResource(p->resourcePath, GetResourceSymbol(), &d, &error)) return;
  for (const auto& e : d.Entries()) {
    const GeData* def = e.settings.GetDataPointer(DESC_DEFAULT);
    if (def && !data.IsSet(e.id.id)) data.SetData(e.id.id, *def);
  }
}
