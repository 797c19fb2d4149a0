// Loading plug-in modules with the operating system's dynamic loader.
#include <dlfcn.h>

#include <filesystem>

#include "c4d_host.h"

namespace host {
namespace {
std::vector<LoadedModule>& ModuleList() {
  static std::vector<LoadedModule> modules;
  return modules;
}
}  // namespace

const std::vector<LoadedModule>& Modules() { return ModuleList(); }

Bool LoadModule(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
  };
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return fail(dlerror());
  auto entry = reinterpret_cast<Int32 (*)(Int32, void*, void*, void*)>(dlsym(handle, "c4d_main"));
  if (!entry) {
    dlclose(handle);
    return fail("the module has no entry c4d_main");
  }
  Int32 version = GetApiVersion();
  if (entry(C4DPL_INIT_SYS, &version, nullptr, nullptr) != 1) {
    dlclose(handle);
    return fail("the module refuses this host's plug-in interface version " +
                std::to_string(version));
  }
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  SetCurrentModuleResourcePath(Filename(String((dir / "res").string())));
  LoadedModule m{path, handle, entry, false};
  Int32 msgPriority = C4DMSG_PRIORITY, msgInit = C4DPL_INIT_SYS;
  entry(C4DPL_MESSAGE, &msgPriority, nullptr, nullptr);
  if (entry(C4DPL_MESSAGE, &msgInit, nullptr, nullptr) != 1) {
    SetCurrentModuleResourcePath(Filename());
    entry(C4DPL_END, nullptr, nullptr, nullptr);
    ModuleList().push_back(m);  // plug-in code may still be referenced; keep it loaded
    return fail("the module could not load its resources from " + (dir / "res").string());
  }
  m.started = entry(C4DPL_INIT, nullptr, nullptr, nullptr) == 1;
  SetCurrentModuleResourcePath(Filename());
  ModuleList().push_back(m);
  if (!m.started) return fail("the module's start failed (a plug-in registration was refused)");
  return true;
}

Bool LoadPlugins(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::vector<std::string> found;
  for (auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (!e.is_directory()) continue;
    for (auto& f : std::filesystem::directory_iterator(e.path(), ec)) {
      if (f.path().extension() == ".cdl64") found.push_back(f.path().string());
    }
  }
  if (ec) {
    if (error) *error = dir + ": " + ec.message();
    return false;
  }
  std::sort(found.begin(), found.end());
  Bool ok = true;
  for (const auto& f : found) ok = LoadModule(f, error) && ok;
  return ok;
}

void UnloadModules() {
  // Plug-in instances live in documents that may outlive this call, so the code stays
  // mapped; the modules only get their End message.
  for (auto& m : ModuleList()) {
    if (m.started) m.entry(C4DPL_END, nullptr, nullptr, nullptr);
    m.started = false;
  }
}

}  // namespace host
