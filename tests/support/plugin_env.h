// Test environment: the module's plug-ins registered in-process, and scratch paths.
#pragma once

#include <string>

/// Registers the module's plug-ins in this process (once), with the resource folder of the
/// built module, as the host would after loading it.
void EnsurePluginsRegistered();
/// A fresh path for a scratch file or folder named `name` under the build tree.
std::string TempPath(const std::string& name);
/// Folder of the built module (its res/ folder sits inside).
std::string PluginDir();
