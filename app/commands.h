// The sub-commands of pmxexport. Each lives in its own cmd_<name>.cpp; main.cpp lists them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "c4d.h"

namespace CLI {
class Option;
}

namespace pmxapp {

/// One row of the sub-command table.
struct SubCommand {
  const char* name;
  const char* summary;
  /// Runs with the arguments after the sub-command's name; answers the exit code.
  int (*run)(const std::vector<std::string>& args);
};

int RunExport(const std::vector<std::string>& args);
int RunDemo(const std::vector<std::string>& args);
int RunSceneDump(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunPress(const std::vector<std::string>& args);
int RunView(const std::vector<std::string>& args);
int RunRestrictWeights(const std::vector<std::string>& args);
int RunTransferWeights(const std::vector<std::string>& args);
int RunDraw(const std::vector<std::string>& args);
int RunCommand(const std::vector<std::string>& args);
int RunDialog(const std::vector<std::string>& args);
int RunMixer(const std::vector<std::string>& args);

/// The PMX saver's settings as the command line gives them (unset: the saver's defaults).
struct ExportSettings {
  std::optional<UnitScaleData> unit;
  std::optional<std::string> textureFolder;
  bool materialNameWithObject = false;
  bool limitDeform = false;
};

/// The saver options shared by the commands that export ("--unit", "--texture-folder", ...),
/// as the command line gives them.
class CommandLine;
struct ExportOptionText {
  std::string unit, textureFolder;
  bool materialNameWithObject = false, limitDeform = false;
  const CLI::Option* unitOption = nullptr;
  const CLI::Option* textureFolderOption = nullptr;
};
void AddExportOptions(CommandLine& cli, ExportOptionText* text);
/// Checks the option texts; on a mistake answers false with `error`.
bool ReadExportOptions(const ExportOptionText& text, ExportSettings* settings, std::string* error);

/// Exports `doc` to `output` through the registered PMX saver, as the host's File > Export
/// does. Prints what went wrong as "pmxexport <command>: ..." and answers the exit code.
/// With `finish`, the saver's file gets those last touches (pmx_finish.h) before it is written.
struct PmxFinish;
int ExportDocument(BaseDocument* doc, const std::string& output, const ExportSettings& settings,
                   const std::string& command, const PmxFinish* finish = nullptr);

}  // namespace pmxapp
