// The command-line option of every command that reads model files: how long the import
// library may take.
#pragma once

#include <string>

#include "cli.h"
#include "model_import.h"

namespace pmxapp {

/// "--import-timeout S" as the command line gives it.
struct ImportOptionText {
  std::string timeout;
  const CLI::Option* timeoutOption = nullptr;
};

void AddImportOptions(CommandLine& cli, ImportOptionText* text);
/// Checks the option texts; on a mistake answers false with `error`.
bool ReadImportOptions(const ImportOptionText& text, ImportOptions* options, std::string* error);

}  // namespace pmxapp
