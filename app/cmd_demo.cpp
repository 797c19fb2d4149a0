// pmxexport demo: exports the built-in sample character, so the export runs with nothing at
// hand.
#include <cstdio>
#include <filesystem>

#include "app_host.h"
#include "cli.h"
#include "commands.h"
#include "demo_scene.h"
#include "file_safety.h"
#include "scene_file.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Exports the built-in sample character (a small rigged figure with a textured head, three\n"
    "materials, joint weights and bone names) to OUTPUT.pmx. Its texture is written beside\n"
    "the PMX as <name>_tex.png, and the PMX refers to it by that name unless\n"
    "--texture-folder says otherwise.";

}  // namespace

int RunDemo(const std::vector<std::string>& args) {
  namespace fs = std::filesystem;
  CommandLine cli("demo", "demo -o OUTPUT.pmx [options]", kDescription);
  std::string output, sceneOut;
  ExportOptionText text;
  cli.Value("-o,--output", &output, "FILE", "the PMX file to write (required)");
  const CLI::Option* sceneOutOption =
      cli.Value("--scene-out", &sceneOut, "FILE",
                "also write the sample as a scene file, to start your own\nscene from");
  AddExportOptions(cli, &text);
  if (auto code = cli.Parse(args)) return *code;
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.pmx");
  ExportSettings settings;
  std::string error;
  if (!ReadExportOptions(text, &settings, &error)) return cli.UsageError(error);
  // The texture goes beside the model, so the model names it by its bare file name (an empty
  // texture folder) and the pair can be moved together.
  if (!settings.textureFolder) settings.textureFolder = std::string();
  if (!StartHost(&error)) {
    cli.Error(error);
    return kExitFailure;
  }

  // The texture is a side file named after the PMX; a device or a pipe has no folder of its
  // own to put it in, so the model is written without one there.
  std::error_code ec;
  const bool stream = OutputIsStream(output);
  const fs::path out = ResolvedOutput(output);
  const fs::path folder = out.parent_path();
  if (!stream && !fs::is_directory(folder, ec)) {
    cli.Error("cannot write " + output + ": the folder " + folder.string() + " does not exist");
    return kExitFailure;
  }
  PlacedFile texture;
  if (!stream) {
    const std::vector<std::uint8_t> png = DemoTexturePng();
    const std::string wanted = out.stem().string() + "_tex.png";
    if (!PlaceFileExclusively(folder, wanted, png, &texture, &error)) {
      cli.Error(error);
      return kExitFailure;
    }
    if (texture.name != wanted)
      std::printf("Wrote the texture as %s: a different file is already called %s\n",
                  texture.name.c_str(), wanted.c_str());
  }
  const fs::path texturePath = folder / texture.name;
  auto removeTexture = [&] {
    if (texture.created) fs::remove(texturePath, ec);
  };
  std::unique_ptr<BaseDocument> doc = LoadSceneText(DemoSceneText(texture.name), "demo", &error);
  if (!doc) {
    removeTexture();
    cli.Error("the built-in sample does not load: " + error);
    return kExitFailure;
  }
  // The saver finds the texture beside the document, which "lives" where the PMX goes.
  doc->SetDocumentPath(Filename(String(folder.generic_string())));
  doc->SetDocumentName(Filename(String(out.stem().string() + ".json")));
  if (sceneOutOption->count() > 0 && !SaveSceneFile(doc.get(), sceneOut, &error)) {
    removeTexture();
    cli.Error(error);
    return kExitFailure;
  }
  std::fflush(stdout);
  const int result = ExportDocument(doc.get(), output, settings, cli.Command());
  if (result != kExitOk) removeTexture();
  return result;
}

}  // namespace pmxapp
