// pmxexport view: shows a PMX model in the browser through three.js's MMDLoader, served on
// localhost.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "view_server.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Shows MODEL.pmx in a web browser the way MMD users see models on the web: three.js's\n"
    "MMDLoader reads it, with the textures it names, and draws it (drag to turn, wheel to\n"
    "zoom). The page is served on 127.0.0.1 until Ctrl+C; the address is printed.\n"
    "Only the page, three.js, the model and the images it names are served, and of those\n"
    "only files inside the model's folder (links resolved) or a --texture-root folder.";

volatile std::sig_atomic_t gStopSignal = 0;

void OnSignal(int) { gStopSignal = 1; }

}  // namespace

int RunView(const std::vector<std::string>& args) {
  CommandLine cli("view", "view MODEL.pmx [options]", kDescription);
  std::string model, portText = "8765";
  std::vector<std::string> textureRoots;
  bool noOpen = false;
  cli.Positional("MODEL", "MODEL.pmx", &model);
  cli.Value("--port", &portText, "N", "the port to serve on (default 8765; 0 picks a free one)");
  cli.Values("--texture-root", &textureRoots, "DIR",
             "another folder whose images the model may use as textures (repeatable)");
  cli.Flag("--no-open", &noOpen, "do not ask the desktop to open the page");
  if (auto code = cli.Parse(args)) return *code;
  std::string error;
  char* end = nullptr;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end != '\0' || port < 0 || port > 65535)
    return cli.UsageError("--port expects a number from 0 to 65535, not '" + portText + "'");

  ViewServerOptions options;
  options.modelPath = model;
  options.pagePath = DefaultViewerPage();
  options.threeDir = DefaultThreeDir();
  options.textureRoots = textureRoots;
  options.port = static_cast<int>(port);
  ViewServer server;
  if (!server.Start(options, &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  std::printf("Showing %s at %s\nPress Ctrl+C to stop.\n", model.c_str(), server.Url().c_str());
  std::fflush(stdout);
  if (!noOpen && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"))) {
    const std::string cmd = "xdg-open '" + server.Url() + "' >/dev/null 2>&1 &";
    if (std::system(cmd.c_str()) != 0) std::printf("Open the address in a browser.\n");
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  while (!gStopSignal) server.ServeFor(200);
  return kExitOk;
}

}  // namespace pmxapp
