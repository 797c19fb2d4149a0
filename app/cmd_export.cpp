// pmxexport export: a scene file to PMX through the module's saver.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "FTavoPmxExport.h"
#include "app_host.h"
#include "c4d_host.h"
#include "cli.h"
#include "commands.h"
#include "import_options.h"
#include "model_import.h"
#include "scene_file.h"
#include "scene_format.h"

namespace pmxapp {

namespace {

const char* kDescription =
    "Exports INPUT to a PMX 2.0 model through the TavoPmxExport saver, the way the host's\n"
    "File > Export does. The saver's console lines are printed as they come.\n"
    "\n"
    "INPUT is a scene file (JSON, see docs/scene-format.md) or a model file (FBX, glTF/GLB,\n"
    "COLLADA, DirectX X, SMD, MD5, OBJ and the other formats the packaged import library\n"
    "reads). A model file is imported as the host would import it (lengths in centimetres,\n"
    "left-handed, Y up; meshes, materials, joints, weights, blend shapes as morphs) and a\n"
    "summary line is printed before the saver's lines. Its texture names are written relative\n"
    "to the PMX's folder, so the PMX finds them where it was written. Only images inside the\n"
    "model's folder tree (or a --texture-root) are named or copied; copies never replace a\n"
    "different file. OUTPUT may be a device or a pipe (-o /dev/null), written straight into;\n"
    "a link is followed and its target replaced.\n";

}  // namespace

void AddExportOptions(CommandLine& cli, ExportOptionText* text) {
  text->unitOption = cli.Value("--unit", &text->unit, "LENGTH",
                               "the length of one PMX unit: 8cm (the saver's default,\n"
                               "the usual MMD scale), 1m, 0.5in, ... (km m cm mm um nm\n"
                               "mi yd ft in)");
  text->textureFolderOption =
      cli.Value("--texture-folder", &text->textureFolder, "DIR",
                "write texture paths as DIR followed by the texture's\nname");
  cli.Flag("--material-name-with-object", &text->materialNameWithObject,
           "name each material \"<material>-<object>\"");
  cli.Flag("--limit-deform", &text->limitDeform,
           "give each vertex BDEF1, BDEF2 or BDEF4 by its number of\n"
           "influences and normalise its weights (default: BDEF4\n"
           "with the weights as stored)");
}

bool ReadExportOptions(const ExportOptionText& text, ExportSettings* settings, std::string* error) {
  if (text.unitOption->count() > 0) {
    settings->unit = scene::ParseUnitScale(text.unit);
    if (!settings->unit) {
      *error = "--unit expects a positive length such as 8cm or 1m, not '" + text.unit + "'";
      return false;
    }
  }
  if (text.textureFolderOption->count() > 0) settings->textureFolder = text.textureFolder;
  settings->materialNameWithObject = text.materialNameWithObject;
  settings->limitDeform = text.limitDeform;
  return true;
}

int ExportDocument(BaseDocument* doc, const std::string& output, const ExportSettings& settings,
                   const std::string& command) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path out(output);
  if (fs::is_directory(out, ec)) {
    PrintError(command, output + " is a folder; give the PMX file's name");
    return kExitFailure;
  }
  const fs::path folder = out.has_parent_path() ? out.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) {
    PrintError(command,
               "cannot write " + output + ": the folder " + folder.string() + " does not exist");
    return kExitFailure;
  }

  const host::PluginInfo* saverInfo = host::FindSaverBySuffix(String("pmx"));
  if (!saverInfo) {
    PrintError(command, "no PMX saver is registered (the modules in " + PluginFolder() +
                            " did not register one)");
    return kExitFailure;
  }
  std::unique_ptr<BaseSceneSaver> saver(host::AllocSceneSaver(saverInfo->id));
  if (!saver) {
    PrintError(command, "the PMX saver could not be created");
    return kExitFailure;
  }
  BaseContainer* bc = saver->GetDataInstance();
  if (settings.unit) bc->SetData(PMX_EXPORT_UNIT, GeData(*settings.unit));
  if (settings.textureFolder) {
    bc->SetBool(PMX_EXPORT_USE_TEXTURE_FOLDER, true);
    bc->SetString(PMX_EXPORT_TEXTURE_FOLDER, String(*settings.textureFolder));
  }
  if (settings.materialNameWithObject) bc->SetBool(PMX_EXPORT_MATERIAL_NAME_WITH_OBJECT, true);
  if (settings.limitDeform) bc->SetBool(PMX_EXPORT_LIMIT_DEFORM, true);

  BaseDocument* previous = GetActiveDocument();
  SetActiveDocument(doc);
  host::ClearLastFileError();
  const FILEERROR result = host::SaveDocument(saver.get(), doc, Filename(String(output)));
  SetActiveDocument(previous);
  if (result == FILEERROR_OUTOFMEMORY) {
    PrintError(command, "not enough memory to export to " + output);
    return kExitFailure;
  }
  if (result != FILEERROR_NONE) {
    // The system's reason (read-only, no space, ...) tells the user what to do; the host's
    // error number does not.
    const std::string reason = host::LastFileError();
    PrintError(
        command,
        "the export to " + output + " failed: " +
            (reason.empty() ? "file error " + std::to_string(static_cast<int>(result)) : reason));
    return kExitFailure;
  }
  // A saver that answers success must have written the file.
  if (!fs::exists(out, ec)) {
    PrintError(command, "the saver reported success but wrote no file " + output);
    return kExitFailure;
  }
  return kExitOk;
}

int RunExport(const std::vector<std::string>& args) {
  CommandLine cli("export", "export INPUT -o OUTPUT.pmx [options]", kDescription);
  std::string input, output;
  bool copyTextures = false;
  std::vector<std::string> textureRoots;
  ExportOptionText text;
  cli.Positional("INPUT", "INPUT (the scene file or model file)", &input);
  cli.Value("-o,--output", &output, "FILE",
            "the PMX file to write (required); an existing file is\n"
            "replaced only when the export succeeds");
  cli.Flag("--copy-textures", &copyTextures,
           "copy every texture a model file uses beside OUTPUT\n"
           "(into the --texture-folder there, when given) and name\n"
           "them so; textures embedded in a model file are written\n"
           "out as files");
  cli.Values("--texture-root", &textureRoots, "DIR",
             "also name and copy textures found in DIR (by default\n"
             "only images in the model's own folder tree are used);\n"
             "may be given more than once");
  AddExportOptions(cli, &text);
  ImportOptionText importText;
  AddImportOptions(cli, &importText);
  if (auto code = cli.Parse(args)) return *code;
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.pmx");
  ExportSettings settings;
  std::string error;
  if (!ReadExportOptions(text, &settings, &error)) return cli.UsageError(error);
  ImportOptions importOptions;
  if (!ReadImportOptions(importText, &importOptions, &error)) return cli.UsageError(error);

  if (!StartHost(&error)) {
    cli.Error(error);
    return kExitFailure;
  }
  ImportSummary summary;
  std::vector<std::string> placedFiles;
  bool isModel = false;
  std::unique_ptr<BaseDocument> doc =
      LoadInputDocument(input, &summary, &error, &isModel, importOptions);
  if (!doc) {
    cli.Error(error);
    return kExitFailure;
  }
  if (isModel) {
    std::printf("%s\n", FormatImportSummary(summary).c_str());
    for (const std::string& w : summary.warnings) std::printf("Warning: %s\n", w.c_str());
  }
  if (isModel || copyTextures) {
    // The saver writes texture names as the texture folder followed by the stored name; with
    // an empty folder the names placed here (relative to the PMX, or bare beside it) go into
    // the file as they are, instead of the absolute paths its resolver would find.
    if (!settings.textureFolder) settings.textureFolder = std::string();
    TexturePlacement placement;
    placement.copy = copyTextures;
    if (!settings.textureFolder->empty()) placement.textureFolder = settings.textureFolder;
    placement.roots = textureRoots;
    std::vector<std::string> lines;
    if (!PlaceTextures(doc.get(), input, summary.textures, output, placement, &lines, &error,
                       &placedFiles)) {
      cli.Error(error);
      return kExitFailure;
    }
    for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  }
  std::fflush(stdout);
  const int code = ExportDocument(doc.get(), output, settings, cli.Command());
  if (code != kExitOk) {
    // Textures copied for a PMX that was not written would be left behind for nothing.
    std::error_code ec;
    for (const std::string& f : placedFiles) std::filesystem::remove(f, ec);
  }
  return code;
}

}  // namespace pmxapp
