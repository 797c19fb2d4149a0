#include "c4d_plugin.h"

#include <algorithm>
#include <set>

#include "c4d_description.h"
#include "c4d_file.h"
#include "c4d_host.h"
#include "c4d_resource.h"
#include "c4d_tooldata.h"

namespace host {
namespace {

struct Registry {
  std::vector<PluginInfo> plugins;
  std::set<Int32> refused;
  Int32 apiVersion = 15000;
  Filename currentResourcePath;
  ~Registry() { Clear(); }
  void Clear() {
    for (auto& p : plugins) {
      delete p.command;
      delete p.tool;
    }
    plugins.clear();
    refused.clear();
  }
};

Registry& Reg() {
  static Registry registry;
  return registry;
}

Bool Add(PluginInfo info) {
  Registry& r = Reg();
  if (r.refused.count(info.id) || FindPlugin(info.id)) {
    delete info.command;
    delete info.tool;
    return false;
  }
  info.resourcePath = r.currentResourcePath;
  r.plugins.push_back(std::move(info));
  return true;
}

}  // namespace

const std::vector<PluginInfo>& Plugins() { return Reg().plugins; }

const PluginInfo* FindPlugin(Int32 id) {
  for (const auto& p : Reg().plugins) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

void RefuseRegistration(Int32 id) { Reg().refused.insert(id); }
void ResetRegistry() { Reg().Clear(); }
void SetApiVersion(Int32 version) { Reg().apiVersion = version; }
Int32 GetApiVersion() { return Reg().apiVersion; }
Filename CurrentModuleResourcePath() { return Reg().currentResourcePath; }
void SetCurrentModuleResourcePath(const Filename& path) { Reg().currentResourcePath = path; }

const PluginInfo* FindSaverBySuffix(const String& suffix) {
  for (const auto& p : Reg().plugins) {
    if (p.type == PLUGINTYPE::SCENESAVER && p.suffix == suffix) return &p;
  }
  return nullptr;
}

void ApplyDescriptionDefaults(const String& descriptionName, BaseContainer* bc) {
  for (const auto& p : Reg().plugins) {
    if (p.description != descriptionName) continue;
    Description d;
    std::string error;
    if (!LoadDescriptionResource(p.resourcePath, descriptionName, &d, &error)) return;
    for (const auto& e : d.Entries()) {
      const GeData* def = e.settings.GetDataPointer(DESC_DEFAULT);
      if (def && !bc->IsSet(e.id.id)) bc->SetData(e.id.id, *def);
    }
    return;
  }
}

BaseSceneSaver* AllocSceneSaver(Int32 id) {
  const PluginInfo* p = FindPlugin(id);
  if (!p || p->type != PLUGINTYPE::SCENESAVER || !p->allocator) return nullptr;
  auto* node = new BaseSceneSaver(id);
  NodeData* data = p->allocator();
  if (!data) {
    delete node;
    return nullptr;
  }
  data->SetNodeInternal(node);
  node->SetNodeData(data);
  ApplyDescriptionDefaults(p->description, node->GetDataInstance());
  if (!data->Init(node)) {
    delete node;
    return nullptr;
  }
  return node;
}

FILEERROR SaveDocument(BaseSceneSaver* saver, BaseDocument* doc, const Filename& name,
                       SCENEFILTER filter) {
  if (!saver) return FILEERROR_INVALID;
  auto* data = saver->GetNodeData<SceneSaverData>();
  if (!data) return FILEERROR_INVALID;
  // A saver reads the document as the editor shows it: generators' results are current and
  // the objects they use as inputs are marked as such.
  if (doc) doc->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);
  return data->Save(saver, name, doc, filter);
}

}  // namespace host

Int32 BaseBitmap::Init(const Filename& name) {
  name_ = name;
  return GeFExist(name) ? 1 : -1;
}

Bool CommandData::Execute(BaseDocument*) { return false; }
Bool CommandData::ExecuteSubID(BaseDocument*, Int32) { return false; }
Bool CommandData::ExecuteOptionID(BaseDocument*, Int32, Int32) { return false; }
Int32 CommandData::GetState(BaseDocument*) { return CMD_ENABLED; }
Bool CommandData::RestoreLayout(void*) { return false; }
Bool CommandData::Message(Int32, void*) { return true; }

static Filename IconFile(BaseBitmap* icon) { return icon ? icon->GetFilename() : Filename(); }

/// The fields every registration has.
static host::PluginInfo NewInfo(Int32 id, PLUGINTYPE type, const String& name, Int32 info) {
  host::PluginInfo p;
  p.id = id;
  p.type = type;
  p.name = name;
  p.info = info;
  return p;
}

Bool RegisterSceneSaverPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                              const String& description, const String& suffix, void*) {
  host::PluginInfo p = NewInfo(id, PLUGINTYPE::SCENESAVER, str, info);
  p.allocator = g;
  p.description = description;
  p.suffix = suffix;
  return host::Add(std::move(p));
}

Bool RegisterObjectPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                          const String& description, BaseBitmap* icon, Int32) {
  host::PluginInfo p = NewInfo(id, PLUGINTYPE::OBJECT, str, info);
  p.allocator = g;
  p.description = description;
  p.icon = IconFile(icon);
  return host::Add(std::move(p));
}

Bool RegisterTagPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                       const String& description, BaseBitmap* icon, Int32) {
  host::PluginInfo p = NewInfo(id, PLUGINTYPE::TAG, str, info);
  p.allocator = g;
  p.description = description;
  p.icon = IconFile(icon);
  return host::Add(std::move(p));
}

Bool RegisterCommandPlugin(Int32 id, const String& str, Int32 info, BaseBitmap* icon,
                           const String& help, CommandData* dat) {
  host::PluginInfo p = NewInfo(id, PLUGINTYPE::COMMAND, str, info);
  p.help = help;
  p.icon = IconFile(icon);
  p.command = dat;
  return host::Add(std::move(p));
}

Bool RegisterSceneHookPlugin(Int32 id, const String& str, Int32 info, DataAllocator* g,
                             Int32 priority, Int32, void*) {
  host::PluginInfo p = NewInfo(id, PLUGINTYPE::SCENEHOOK, str, info);
  p.allocator = g;
  p.priority = priority;
  return host::Add(std::move(p));
}

Bool RegisterToolPlugin(Int32 id, const String& str, Int32 info, BaseBitmap* icon,
                        const String& help, ToolData* dat) {
  host::PluginInfo p = NewInfo(id, PLUGINTYPE::TOOL, str, info);
  p.help = help;
  p.icon = IconFile(icon);
  p.tool = dat;
  // A description tool names its description resource itself.
  if (auto* dt = dynamic_cast<DescriptionToolData*>(dat)) p.description = dt->GetResourceSymbol();
  return host::Add(std::move(p));
}

Bool GeResource::Init(const Filename& path) {
  path_ = path;
  std::map<Int32, String> table;
  std::string error;
  loaded_ = host::LoadStringTable(path, &table, &error);
  if (loaded_) host::RegisterStringTable(path, std::move(table));
  return loaded_;
}

String GeResource::LoadString(Int32 id) const { return host::LookupString(path_, id); }
