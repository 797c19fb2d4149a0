// pmxexport command: runs a registered command on a scene file, as a person would choose it
// from a menu, and shows its state before and after.
#include <cstdio>
#include <cstdlib>

#include "c4d_host.h"
#include "commands.h"
#include "scene_file.h"
#include "viewport_app.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Loads the scene file SCENE, runs the command ID on it (for example the triangulation\n"
    "line switch 1038100 or the PMX edge drawing switch 1038154), prints the command's state\n"
    "before and after, and writes the document back to OUTPUT.json when -o is given.";

std::string StateText(Int32 state) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(state));
  if (!(state & CMD_ENABLED)) return std::string(hex) + " (disabled)";
  return std::string(hex) + ((state & CMD_VALUE) ? " (enabled, checked)" : " (enabled)");
}

std::string CommandList() {
  std::string list;
  for (const host::PluginInfo& p : host::Plugins()) {
    if (p.type != PLUGINTYPE::COMMAND) continue;
    list += (list.empty() ? "" : ", ") + std::to_string(p.id) + " (" + p.name.GetUtf8() + ")";
  }
  return list.empty() ? "none" : list;
}

}  // namespace

const host::PluginInfo* FindCommand(const CommandLine& cli, const std::string& text) {
  char* end = nullptr;
  const long id = std::strtol(text.c_str(), &end, 10);
  const host::PluginInfo* p =
      !text.empty() && end && *end == '\0' ? host::FindPlugin(static_cast<Int32>(id)) : nullptr;
  if (!p || p->type != PLUGINTYPE::COMMAND || !p->command) {
    cli.Error("no command " + text + " is registered (commands: " + CommandList() + ")");
    return nullptr;
  }
  return p;
}

int RunCommand(const std::vector<std::string>& args) {
  CommandLine cli("command", "command SCENE --id N [-o OUTPUT.json]", kDescription);
  std::string input, idText, output;
  cli.Positional("SCENE", "SCENE (the scene file)", &input);
  const CLI::Option* idOption = cli.Value("--id", &idText, "N", "the command's plug-in id");
  const CLI::Option* outputOption = cli.Value(
      "-o,--output", &output, "FILE", "the scene file to write (replaced only when complete)");
  if (auto code = cli.Parse(args)) return *code;
  if (idOption->count() == 0) return cli.UsageError("missing --id N");
  if (outputOption->count() > 0 && output.empty()) return cli.UsageError("-o needs a file name");

  std::unique_ptr<BaseDocument> doc = LoadActiveScene(cli, input);
  if (!doc) return kExitFailure;
  const host::PluginInfo* p = FindCommand(cli, idText);
  if (!p) return kExitFailure;
  CommandData* command = p->command;
  std::printf("%s (%d)\n", p->name.GetUtf8().c_str(), p->id);
  std::printf("state before: %s\n", StateText(command->GetState(doc.get())).c_str());
  const bool ok = command->Execute(doc.get());
  std::printf("state after:  %s\n", StateText(command->GetState(doc.get())).c_str());
  if (!ok) {
    cli.Error("the command did not run");
    return kExitFailure;
  }
  std::string error;
  if (!output.empty() && !SaveSceneFile(doc.get(), output, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
