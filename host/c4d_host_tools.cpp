#include "c4d_host_tools.h"

#include <set>

#include "c4d_host.h"

namespace host {

namespace {
// Tools whose settings the host has already initialised (by plug-in id).
std::set<Int32>& InitialisedTools() {
  static std::set<Int32> tools;
  return tools;
}
}  // namespace

Int32 GetCommandState(Int32 id, BaseDocument* doc) {
  const PluginInfo* p = FindPlugin(id);
  if (!p || p->type != PLUGINTYPE::COMMAND || !p->command) return 0;
  return p->command->GetState(doc);
}

Bool ExecuteCommand(Int32 id, BaseDocument* doc) {
  const PluginInfo* p = FindPlugin(id);
  if (!p || p->type != PLUGINTYPE::COMMAND || !p->command) return false;
  if ((p->command->GetState(doc) & CMD_ENABLED) == 0) return false;
  return p->command->Execute(doc);
}

DescriptionToolData* FindDescriptionTool(Int32 id) {
  const PluginInfo* p = FindPlugin(id);
  if (!p || p->type != PLUGINTYPE::TOOL || !p->tool) return nullptr;
  return dynamic_cast<DescriptionToolData*>(p->tool);
}

BaseContainer* GetToolSettings(Int32 id, BaseDocument* doc) {
  DescriptionToolData* tool = FindDescriptionTool(id);
  if (!tool) return nullptr;
  BaseContainer& data = tool->GetToolData();
  // A tool registered again (after a registry reset) is a new instance with empty settings.
  if (InitialisedTools().insert(id).second || data.GetCount() == 0) {
    tool->InitDefaultSettings(doc, data);
  }
  return &data;
}

Bool IsToolParameterEnabled(Int32 id, BaseDocument* doc, Int32 paramId) {
  BaseContainer* data = GetToolSettings(id, doc);
  if (!data) return false;
  return FindDescriptionTool(id)->GetDEnabling(doc, *data, DescID(paramId), data->GetData(paramId),
                                               DESCFLAGS_ENABLE_0, nullptr);
}

Bool CanDropOnToolParameter(Int32 id, BaseDocument* doc, Int32 paramId, GeListNode* element) {
  BaseContainer* data = GetToolSettings(id, doc);
  if (!data) return false;
  DescriptionCheckDragAndDrop dd;
  dd.id = DescID(paramId);
  dd.element = element;
  dd.result = true;
  FindDescriptionTool(id)->Message(doc, *data, MSG_DESCRIPTION_CHECKDRAGANDDROP, &dd);
  return dd.result;
}

Bool PressToolButton(Int32 id, BaseDocument* doc, Int32 buttonId) {
  if (!IsToolParameterEnabled(id, doc, buttonId)) return false;
  BaseContainer* data = GetToolSettings(id, doc);
  DescriptionCommand dc;
  dc.id = DescID(buttonId);
  return FindDescriptionTool(id)->Message(doc, *data, MSG_DESCRIPTION_COMMAND, &dc);
}

}  // namespace host
