// pmxexport view: a PMX model in the browser through three.js's MMDLoader, or a scene or model
// file live, with the plug-in's viewport aids, dialogs and morph sliders; served on localhost.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "import_options.h"
#include "model_import.h"
#include "view_scene.h"
#include "view_server.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Shows INPUT in a web browser, served on 127.0.0.1 until Ctrl+C; the address is printed.\n"
    "\n"
    "A PMX file is shown the way MMD users see models on the web: three.js's MMDLoader reads\n"
    "it, with the textures it names, and draws it (drag to turn, wheel to zoom).\n"
    "\n"
    "A scene file or model file is loaded into a live document and shown as the host's\n"
    "viewport shows it: every visible polygon object as evaluated (morph objects mixed), the\n"
    "materials' colours and textures, and over it what the plug-in's scene hook draws (the\n"
    "triangulation lines, underscored edges and PMX edge shells) for the page's camera. The\n"
    "page has the switch commands, the triangulation options dialog, the morph mixer, each\n"
    "morph object's sliders and buttons, the editing and display modes, undo and redo; every\n"
    "change goes through the plug-in's own code. Export runs the PMX saver and offers the\n"
    "file as a download (and writes it to -o); Save writes the scene to --scene-out.\n"
    "\n"
    "Only the page, three.js, the model (or the scene's API) and the images it names are\n"
    "served, and of those only files inside the input's folder (links resolved) or a\n"
    "--texture-root folder.";

volatile std::sig_atomic_t gStopSignal = 0;

void OnSignal(int) { gStopSignal = 1; }

bool IsPmxPath(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  std::string suffix = path.substr(dot + 1);
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == "pmx";
}

}  // namespace

int RunView(const std::vector<std::string>& args) {
  CommandLine cli("view", "view INPUT [options]", kDescription);
  std::string input, portText = "8765", output, sceneOut;
  std::vector<std::string> textureRoots;
  bool noOpen = false, open = false;
  cli.Positional("INPUT", "INPUT (a PMX file, a scene file or a model file)", &input);
  cli.Value("--port", &portText, "N", "the port to serve on (default 8765; 0 picks a free one)");
  cli.Values("--texture-root", &textureRoots, "DIR",
             "another folder whose images the model may use as textures (repeatable)");
  cli.Flag("--open", &open, "ask the desktop to open the page (the default when there is one)");
  cli.Flag("--no-open", &noOpen, "do not ask the desktop to open the page");
  cli.Value("-o,--output", &output, "FILE",
            "where the page's Export button also writes the PMX\n(scene and model files)");
  cli.Value("--scene-out", &sceneOut, "FILE",
            "where the page's Save button writes the scene\n(scene and model files)");
  ExportOptionText exportText;
  AddExportOptions(cli, &exportText);
  ImportOptionText importText;
  AddImportOptions(cli, &importText);
  if (auto code = cli.Parse(args)) return *code;
  std::string error;
  char* end = nullptr;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end != '\0' || port < 0 || port > 65535)
    return cli.UsageError("--port expects a number from 0 to 65535, not '" + portText + "'");
  const bool pmx = IsPmxPath(input);
  if (pmx && (!output.empty() || !sceneOut.empty()))
    return cli.UsageError("-o and --scene-out are for scene and model files, not a PMX file");
  ScenePageOptions sceneOptions;
  if (!ReadExportOptions(exportText, &sceneOptions.exportSettings, &error) ||
      !ReadImportOptions(importText, &sceneOptions.importOptions, &error))
    return cli.UsageError(error);

  ViewServerOptions options;
  options.threeDir = DefaultThreeDir();
  options.textureRoots = textureRoots;
  options.port = static_cast<int>(port);
  ScenePage page;
  if (pmx) {
    options.modelPath = input;
    options.pagePath = DefaultViewerPage();
  } else {
    sceneOptions.input = input;
    sceneOptions.textureRoots = textureRoots;
    sceneOptions.output = output;
    sceneOptions.sceneOut = sceneOut;
    if (!page.Load(sceneOptions, &error)) {
      cli.Error(error);
      return kExitFailure;
    }
    options.pagePath = DefaultScenePage();
    options.api = &page;
  }
  ViewServer server;
  if (!server.Start(options, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  std::printf("Showing %s at %s\nPress Ctrl+C to stop.\n", input.c_str(), server.Url().c_str());
  std::fflush(stdout);
  if ((open || !noOpen) && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"))) {
    const std::string cmd = "xdg-open '" + server.Url() + "' >/dev/null 2>&1 &";
    if (std::system(cmd.c_str()) != 0) std::printf("Open the address in a browser.\n");
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  while (!gStopSignal) {
    struct timespec t {
      0, 200000000
    };
    nanosleep(&t, nullptr);
  }
  return kExitOk;
}

}  // namespace pmxapp
