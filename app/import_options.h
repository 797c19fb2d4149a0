// The command-line options of every command that reads model files: how long the import
// library may take, and the file's axes when they are unusual.
#pragma once

#include <string>

#include "cli.h"
#include "model_import.h"

namespace pmxapp {

/// "--import-timeout S", "--up AXIS" and "--forward AXIS" as the command line gives them.
struct ImportOptionText {
  std::string timeout, up, forward;
  const CLI::Option* timeoutOption = nullptr;
  const CLI::Option* upOption = nullptr;
  const CLI::Option* forwardOption = nullptr;
};

void AddImportOptions(CommandLine& cli, ImportOptionText* text);
/// Checks the option texts; on a mistake answers false with `error`.
bool ReadImportOptions(const ImportOptionText& text, ImportOptions* options, std::string* error);

}  // namespace pmxapp
