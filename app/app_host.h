// Starting the headless host for the app: the module loaded from the plug-in folder beside
// the executable, and the console shown on standard output as the host shows it.
#pragma once

#include <string>

namespace pmxapp {

/// Folder of the running executable.
std::string ExecutableDir();

/// Folder that the modules are loaded from: <executable folder>/PMX_PLUGIN_SUBDIR.
std::string PluginFolder();

/// Loads the modules (once per process) and prints every console line to standard output as
/// UTF-8 as it is printed. On failure answers false with a message in `error`.
bool StartHost(std::string* error);

/// Sends the modules their End message.
void StopHost();

}  // namespace pmxapp
