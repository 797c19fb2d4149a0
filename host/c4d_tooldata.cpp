#include "c4d_tooldata.h"

#include "c4d_plugin.h"

Bool ToolData::InitTool(BaseDocument*, BaseContainer&, BaseThread*) { return true; }
void ToolData::FreeTool(BaseDocument*, BaseContainer&) {}
void ToolData::InitDefaultSettings(BaseDocument*, BaseContainer&) {}
Int32 ToolData::GetState(BaseDocument*) { return CMD_ENABLED; }
Bool ToolData::Message(BaseDocument*, BaseContainer&, Int32, void*) { return true; }
Bool ToolData::GetDEnabling(BaseDocument*, BaseContainer&, const DescID&, const GeData&,
                            DESCFLAGS_ENABLE, const BaseContainer*) {
  return true;
}
