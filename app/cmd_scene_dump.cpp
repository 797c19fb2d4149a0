// pmxexport scene-dump: loads a scene file and writes it back, as the app writes documents
// after a tool has run (useful to check a hand-written file and to see its canonical form).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app_host.h"
#include "cli.h"
#include "commands.h"
#include "model_import.h"
#include "scene_file.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Loads the scene file INPUT and writes the document back as a scene file: to OUTPUT, or\n"
    "to standard output without -o. Errors in INPUT are reported with their place. INPUT may\n"
    "also be a model file (FBX, glTF, COLLADA, ...), written as the document its import makes.";

}  // namespace

int RunSceneDump(const std::vector<std::string>& args) {
  CommandLine cli("scene-dump", "scene-dump INPUT [-o OUTPUT.json]", kDescription);
  std::string input, output;
  cli.Positional("INPUT", "INPUT (the scene file or model file)", &input);
  const CLI::Option* outputOption = cli.Value(
      "-o,--output", &output, "FILE", "the scene file to write (replaced only when complete)");
  if (auto code = cli.Parse(args)) return *code;
  const bool outputGiven = outputOption->count() > 0;
  if (outputGiven && output.empty()) return cli.UsageError("-o needs a file name");
  std::string error;
  if (!StartHost(&error)) {
    cli.Error(error);
    return kExitFailure;
  }
  std::unique_ptr<BaseDocument> doc = LoadInputDocument(input, nullptr, &error);
  if (!doc) {
    cli.Error(error);
    return kExitFailure;
  }
  if (!outputGiven) {
    // The text goes out as it is laid out; a document that cannot be written is refused before
    // any of it does, as it is with -o.
    int writeError = 0;
    const bool written = WriteSceneText(
        doc.get(), std::filesystem::absolute(input).parent_path().string(),
        [&writeError](const char* text, size_t size) {
          if (writeError == 0 && std::fwrite(text, 1, size, stdout) != size)
            writeError = errno ? errno : EIO;
        },
        &error);
    if (!written) {
      cli.Error(input + ": " + error);
      return kExitFailure;
    }
    if (std::fflush(stdout) != 0 && writeError == 0) writeError = errno ? errno : EIO;
    if (writeError != 0) {
      cli.Error(std::string("cannot write to standard output (") + std::strerror(writeError) + ")");
      return kExitFailure;
    }
    return kExitOk;
  }
  if (!SaveSceneFile(doc.get(), output, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
