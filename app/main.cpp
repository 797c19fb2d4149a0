// pmxexport: exports scenes to PMX through the TavoPmxExport module on the headless host.
#include <malloc.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app_host.h"
#include "cli.h"
#include "commands.h"

namespace {

// Sub-commands in the order --help lists them. Add a row for a new cmd_<name>.cpp.
constexpr pmxapp::SubCommand kCommands[] = {
    {"export", "export a scene file or a model file to a PMX model", pmxapp::RunExport},
    {"demo", "export the built-in sample character", pmxapp::RunDemo},
    {"info", "list a model's or scene's objects, joints, materials and shapes", pmxapp::RunInfo},
    {"scene-dump", "load a scene file and write it back", pmxapp::RunSceneDump},
    {"press", "press a button of an object or tag in a scene file", pmxapp::RunPress},
    {"view", "show a PMX model in the browser (three.js MMDLoader)", pmxapp::RunView},
    {"restrict-weights", "limit every point to four joint influences", pmxapp::RunRestrictWeights},
    {"transfer-weights", "copy joint weights from one mesh to another", pmxapp::RunTransferWeights},
    {"draw", "redraw a scene file's views and write the recorded calls", pmxapp::RunDraw},
    {"command", "run a command (a display switch, ...) on a scene file", pmxapp::RunCommand},
    {"dialog", "open a command's dialog headless, show and change its gadgets", pmxapp::RunDialog},
    {"mixer", "list and move a scene's morphs by name through the morph mixer", pmxapp::RunMixer},
};

void PrintHelp() {
  std::printf(
      "Usage: pmxexport COMMAND [options]\n"
      "\n"
      "Exports Cinema 4D scenes, given as scene files (docs/scene-format.md), to PMX 2.0\n"
      "models through the TavoPmxExport plug-in running on a headless host.\n"
      "\n"
      "Commands:\n");
  for (const auto& c : kCommands) std::printf("  %-18s %s\n", c.name, c.summary);
  std::printf(
      "\n"
      "'pmxexport COMMAND --help' describes a command. The exit code is 0 on success,\n"
      "1 when the work failed and 2 for a mistake on the command line.\n");
}

/// A command runs one job and ends. Its large blocks (the parse tree of a scene file, then the
/// model made from it) are kept in the heap when freed rather than handed back to the system,
/// so that the next large blocks reuse their pages: a fresh page costs the system more to hand
/// out than most of the work done on it. The viewer, which serves until it is stopped, gives
/// memory back as usual.
void KeepFreedMemoryForReuse() {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp();
    return pmxapp::kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    PrintHelp();
    return pmxapp::kExitOk;
  }
  for (const auto& c : kCommands) {
    if (name != c.name) continue;
    int code = pmxapp::kExitFailure;
    if (c.run != pmxapp::RunView) KeepFreedMemoryForReuse();
    try {
      const std::vector<std::string> args(argv + 2, argv + argc);
      code = c.run(args);
    } catch (const std::bad_alloc&) {
      // Whatever ran out of memory has been unwound and freed; the message itself must not
      // need the heap.
      std::fflush(stdout);
      std::fprintf(stderr, "pmxexport %s: not enough memory\n", c.name);
    }
    pmxapp::StopHost();
    std::fflush(stdout);
    return code;
  }
  return pmxapp::UsageError("", "unknown command '" + name + "'");
}
