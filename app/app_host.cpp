#include "app_host.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "c4d.h"
#include "c4d_host.h"

namespace pmxapp {

std::string ExecutableDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

std::string PluginFolder() {
  return (std::filesystem::path(ExecutableDir()) / PMX_PLUGIN_SUBDIR).string();
}

namespace {

void PrintConsoleLine(const String& line) {
  std::string text = line.GetUtf8();
  // The host's console shows every call as its own line; most texts carry their own break.
  if (text.empty() || text.back() != '\n') text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool gStarted = false;

}  // namespace

bool StartHost(std::string* error) {
  if (gStarted) return true;
  host::SetConsoleListener(PrintConsoleLine);
  const std::string folder = PluginFolder();
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    if (error) *error = "the plug-in folder " + folder + " is missing";
    return false;
  }
  std::string why;
  if (!host::LoadPlugins(folder, &why)) {
    if (error) *error = "cannot load the plug-ins from " + folder + ": " + why;
    return false;
  }
  if (host::Modules().empty()) {
    if (error) *error = "no plug-in module found in " + folder;
    return false;
  }
  gStarted = true;
  return true;
}

void StopHost() {
  if (!gStarted) return;
  host::UnloadModules();
  host::SetConsoleListener(nullptr);
  gStarted = false;
}

}  // namespace pmxapp
