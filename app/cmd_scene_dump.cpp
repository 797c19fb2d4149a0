// pmxexport scene-dump: loads a scene file and writes it back, as the app writes documents
// after a tool has run (useful to check a hand-written file and to see its canonical form).
#include <cstdio>
#include <filesystem>

#include "app_host.h"
#include "cli.h"
#include "commands.h"
#include "scene_file.h"

namespace pmxapp {

namespace {

const char* kHelp =
    "Usage: pmxexport scene-dump INPUT [-o OUTPUT.json]\n"
    "\n"
    "Loads the scene file INPUT and writes the document back as a scene file: to OUTPUT, or\n"
    "to standard output without -o. Errors in INPUT are reported with their place.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE             the scene file to write (replaced only when complete)\n"
    "  -h, --help                    show this help\n";

}  // namespace

int RunSceneDump(const std::vector<std::string>& args) {
  const std::string command = "scene-dump";
  std::string input, output;
  bool outputGiven = false;
  ArgParser parser(command);
  parser.Positional("INPUT (the scene file)", &input, true);
  parser.Value("--output", "-o", &output, &outputGiven);
  std::string error;
  if (!parser.Parse(args, &error)) return UsageError(command, error);
  if (parser.HelpWanted()) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (outputGiven && output.empty()) return UsageError(command, "-o needs a file name");
  if (!StartHost(&error)) {
    PrintError(command, error);
    return kExitFailure;
  }
  std::unique_ptr<BaseDocument> doc = LoadSceneFile(input, &error);
  if (!doc) {
    PrintError(command, error);
    return kExitFailure;
  }
  if (!outputGiven) {
    const std::string text =
        SceneToText(doc.get(), std::filesystem::absolute(input).parent_path().string());
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
  }
  if (!SaveSceneFile(doc.get(), output, &error)) {
    PrintError(command, error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
