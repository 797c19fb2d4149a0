// The module side of the host's entry protocol: compiled into every plug-in module.
// It checks the host's interface version and maps the host's actions onto the module's
// PluginStart, PluginEnd and PluginMessage.
#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "c4d_plugin.h"

GeResource resource;

Filename GeGetPluginPath() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&GeGetPluginPath), &info) || !info.dli_fname)
    return Filename();
  return Filename(String(std::filesystem::path(info.dli_fname).parent_path().string()));
}

String GeLoadString(Int32 id) { return resource.LoadString(id); }

BaseBitmap* AutoBitmap(const String& name) {
  // Registrations only hand the icon on, so the images live as long as the module.
  static std::map<std::string, std::unique_ptr<BaseBitmap>> loaded;
  const Filename path = resource.GetResourcePath() + Filename(name);
  std::unique_ptr<BaseBitmap>& bitmap = loaded[path.GetString().GetUtf8()];
  if (!bitmap) {
    auto fresh = std::make_unique<BaseBitmap>();
    if (fresh->Init(path) != 1) return nullptr;
    bitmap = std::move(fresh);
  }
  return bitmap.get();
}

// Part of the module: only the module knows its own folder.
Bool GeResource::Init() { return Init(GeGetPluginPath() + Filename("res")); }

extern "C" __attribute__((visibility("default"))) Int32 c4d_main(Int32 action, void* p1, void*,
                                                                 void*) {
  switch (action) {
    case C4DPL_INIT_SYS: {
      const Int32 version = p1 ? *static_cast<const Int32*>(p1) : 0;
      return version < C4D_API_VERSION_MIN ? C4DPL_ERROR_VERSION : 1;
    }
    case C4DPL_INIT:
      return PluginStart() ? 1 : 0;
    case C4DPL_END:
      PluginEnd();
      return 1;
    case C4DPL_MESSAGE: {
      const Int32 id = p1 ? *static_cast<const Int32*>(p1) : -1;
      return PluginMessage(id, nullptr) ? 1 : 0;
    }
    default:
      return 0;
  }
}
