// pmxexport demo: exports the built-in sample character, so the export runs with nothing at
// hand.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app_host.h"
#include "cli.h"
#include "commands.h"
#include "demo_scene.h"
#include "scene_file.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Exports the built-in sample character (a small rigged figure with a textured head, three\n"
    "materials, joint weights and bone names) to OUTPUT.pmx. Its texture is written beside\n"
    "the PMX as <name>_tex.png, and the PMX refers to it by that name unless\n"
    "--texture-folder says otherwise.";

/// Writes `bytes` to `path` through a temporary file, so that a failure leaves no partial file.
bool WriteFileAtomically(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes,
                         std::string* error) {
  namespace fs = std::filesystem;
  fs::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      std::error_code ec;
      fs::remove(temp, ec);
      *error = "cannot write " + path.string();
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    *error = "cannot write " + path.string();
    return false;
  }
  return true;
}

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

  std::error_code ec;
  const fs::path out = fs::absolute(fs::path(output), ec).lexically_normal();
  const fs::path folder = out.parent_path();
  const std::string textureName = out.stem().string() + "_tex.png";
  std::unique_ptr<BaseDocument> doc = LoadSceneText(DemoSceneText(textureName), "demo", &error);
  if (!doc) {
    cli.Error("the built-in sample does not load: " + error);
    return kExitFailure;
  }
  // The saver finds the texture beside the document, which "lives" where the PMX goes.
  doc->SetDocumentPath(Filename(String(folder.generic_string())));
  doc->SetDocumentName(Filename(String(out.stem().string() + ".json")));
  if (sceneOutOption->count() > 0 && !SaveSceneFile(doc.get(), sceneOut, &error)) {
    cli.Error(error);
    return kExitFailure;
  }

  if (!fs::is_directory(folder, ec)) {
    cli.Error("cannot write " + output + ": the folder " + folder.string() + " does not exist");
    return kExitFailure;
  }
  const fs::path texture = folder / textureName;
  const bool textureExisted = fs::exists(texture, ec);
  if (!WriteFileAtomically(texture, DemoTexturePng(), &error)) {
    cli.Error(error);
    return kExitFailure;
  }
  const int result = ExportDocument(doc.get(), output, settings, cli.Command());
  if (result != kExitOk && !textureExisted) fs::remove(texture, ec);
  return result;
}

}  // namespace pmxapp
