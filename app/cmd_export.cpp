// pmxexport export: a scene file to PMX through the module's saver.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "FTavoPmxExport.h"
#include "app_host.h"
#include "c4d_host.h"
#include "cli.h"
#include "commands.h"
#include "file_safety.h"
#include "import_options.h"
#include "model_import.h"
#include "pmx_finish.h"
#include "scene_file.h"
#include "scene_format.h"

namespace pmxapp {

namespace fs = std::filesystem;

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
    "a link is followed and its target replaced.\n"
    "\n"
    "For a model file the PMX is laid out as MMD expects: the model and English names from\n"
    "the file, mesh objects that share a material joined so that each material is one PMX\n"
    "material, several root joints under one centre bone, and at most four joint influences\n"
    "per vertex, normalised (--no-limit-deform keeps the weights as stored).\n";

void PrintLine(const std::string& line) {
  std::string text = line;
  if (text.empty() || text.back() != '\n') text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

/// The saver warns once per vertex that has more than four joint influences, which floods the
/// console for a model made elsewhere; for model files those lines become one per object.
class InfluenceLines {
 public:
  void Line(const std::string& text) {
    static const std::string kStart = "\u30AA\u30D6\u30B8\u30A7\u30AF\u30C8[";  // object[
    static const std::string kMark =
        "]\u30A6\u30A7\u30A4\u30C8\u6570\u304CPMX\u306E\u4ED5\u69D8\u4EE5\u4E0A";
    const size_t mark = text.rfind(kMark);
    if (text.rfind(kStart, 0) != 0 || mark == std::string::npos) {
      PrintLine(text);
      return;
    }
    const std::string object = text.substr(kStart.size(), mark - kStart.size());
    int count = 0;
    if (const size_t at = text.rfind("count="); at != std::string::npos)
      count = std::atoi(text.c_str() + at + 6);
    auto [it, fresh] = counts_.emplace(object, std::make_pair(0, 0));
    if (fresh) order_.push_back(object);
    ++it->second.first;
    it->second.second = std::max(it->second.second, count);
  }
  void Flush() {
    for (const std::string& object : order_) {
      const auto [vertices, most] = counts_[object];
      PrintLine("Warning: object \"" + object + "\": " + std::to_string(vertices) +
                (vertices == 1 ? " vertex has" : " vertices have") +
                " more than four joint influences (up to " + std::to_string(most) +
                "); the PMX keeps the four strongest");
    }
    order_.clear();
    counts_.clear();
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, std::pair<int, int>> counts_;
};

/// The length of one PMX unit in centimetres.
double PmxUnitCm(const ExportSettings& settings) {
  if (!settings.unit) return 8.0;  // the saver's default
  return settings.unit->GetScale() * GetUnitLengthInMetres(settings.unit->GetUnit()) * 100.0;
}

/// What the finished PMX of a model file carries beyond the saver's file: the names and, per
/// material as the saver names it, the look of its document material.
PmxFinish FinishFor(BaseDocument* doc, const ImportSummary& summary,
                    const ExportSettings& settings) {
  PmxFinish finish;
  finish.modelName = summary.modelName;
  std::vector<BaseObject*> stack;
  if (BaseObject* first = doc->GetFirstObject()) stack.push_back(first);
  while (!stack.empty()) {
    BaseObject* op = stack.back();
    stack.pop_back();
    if (op->GetNext()) stack.push_back(op->GetNext());
    if (op->GetDown()) stack.push_back(op->GetDown());
    for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
      if (t->GetType() != Ttexture) continue;
      BaseMaterial* mat = static_cast<TextureTag*>(t)->GetMaterial();
      if (!mat) continue;
      const std::string name = mat->GetName().GetUtf8();
      auto look = summary.looks.find(name);
      if (look == summary.looks.end()) continue;
      finish.looks[settings.materialNameWithObject ? name + "-" + op->GetName().GetUtf8() : name] =
          look->second;
    }
  }
  return finish;
}

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
           "influences and normalise its weights (the default for\n"
           "model files; otherwise BDEF4 with the weights as stored)");
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

namespace {

/// Whether `output` can name a PMX file: not a folder, and in a folder that exists. Checked
/// before any work, so that a mistyped folder is named as such rather than by whatever file
/// (a copied texture, say) would have been written there first.
bool CheckOutputPath(const std::string& output, const std::string& command) {
  std::error_code ec;
  const fs::path out(output);
  if (fs::is_directory(out, ec)) {
    PrintError(command, output + " is a folder; give the PMX file's name");
    return false;
  }
  const fs::path folder = out.has_parent_path() ? out.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) {
    PrintError(command,
               "cannot write " + output + ": the folder " + folder.string() + " does not exist");
    return false;
  }
  return true;
}

}  // namespace

int ExportDocument(BaseDocument* doc, const std::string& output, const ExportSettings& settings,
                   const std::string& command, const PmxFinish* finish) {
  if (!CheckOutputPath(output, command)) return kExitFailure;
  std::error_code ec;

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

  // A PMX that gets its last touches is written to a private file first, so that the output
  // only ever receives the finished file.
  std::string target = output;
  struct Scratch {
    std::string path;
    ~Scratch() {
      std::error_code ignored;
      if (!path.empty()) fs::remove(path, ignored);
    }
  } scratch;
  if (finish) {
    std::string pattern = (TemporaryFolder() / "pmxexport-XXXXXX.pmx").string();
    const int fd = mkstemps(pattern.data(), 4);
    if (fd < 0) {
      PrintError(command, "cannot make a temporary file for the export: " +
                              std::string(std::strerror(errno)));
      return kExitFailure;
    }
    close(fd);
    scratch.path = pattern;
    target = pattern;
  }

  // The saver's lines name the file it wrote, which is the output's stand-in; per-vertex
  // influence warnings become one line per object.
  InfluenceLines lines;
  if (finish) {
    host::SetConsoleListener([&lines, &target, &output](const String& line) {
      std::string text = line.GetUtf8();
      for (size_t at = text.find(target); at != std::string::npos;
           at = text.find(target, at + output.size()))
        text.replace(at, target.size(), output);
      lines.Line(text);
    });
  }
  BaseDocument* previous = GetActiveDocument();
  SetActiveDocument(doc);
  host::ClearLastFileError();
  const FILEERROR result = host::SaveDocument(saver.get(), doc, Filename(String(target)));
  SetActiveDocument(previous);
  if (finish) {
    host::SetConsoleListener([](const String& line) { PrintLine(line.GetUtf8()); });
    lines.Flush();
  }
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
  if (!fs::exists(fs::path(target), ec)) {
    PrintError(command, "the saver reported success but wrote no file " + output);
    return kExitFailure;
  }
  if (finish) {
    std::vector<unsigned char> bytes;
    std::string error;
    if (!ReadRegularFile(target, &bytes, &error)) {
      PrintError(command, error);
      return kExitFailure;
    }
    std::string pmx(bytes.begin(), bytes.end());
    if (!FinishPmx(&pmx, *finish, &error) || !WriteOutputFile(output, pmx, &error)) {
      PrintError(command, error);
      return kExitFailure;
    }
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
  bool keepWeights = false;
  cli.Flag("--no-limit-deform", &keepWeights,
           "for a model file: keep the weights as stored (BDEF4,\n"
           "not normalised) instead of at most four influences per\n"
           "vertex, normalised, which is the default for model files");
  std::string heightText;
  const CLI::Option* heightOption = cli.Value("--height", &heightText, "H",
                                              "for a model file: scale it to H PMX units tall (a\n"
                                              "character in MMD is about 20); not with --unit");
  ImportOptionText importText;
  AddImportOptions(cli, &importText);
  if (auto code = cli.Parse(args)) return *code;
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.pmx");
  if (!CheckOutputPath(output, cli.Command())) return kExitFailure;
  ExportSettings settings;
  std::string error;
  if (!ReadExportOptions(text, &settings, &error)) return cli.UsageError(error);
  ImportOptions importOptions;
  if (!ReadImportOptions(importText, &importOptions, &error)) return cli.UsageError(error);
  if (keepWeights && text.limitDeform)
    return cli.UsageError("--limit-deform and --no-limit-deform contradict each other");
  double height = 0;
  if (heightOption->count() > 0) {
    char* end = nullptr;
    height = std::strtod(heightText.c_str(), &end);
    if (heightText.empty() || !end || *end != '\0' || !std::isfinite(height) || height <= 0 ||
        height > 1e6)
      return cli.UsageError("--height needs a positive number of PMX units, not '" + heightText +
                            "'");
    if (text.unitOption->count() > 0)
      return cli.UsageError("--height and --unit both set the scale; give one of them");
  }

  if (!StartHost(&error)) {
    cli.Error(error);
    return kExitFailure;
  }
  ImportSummary summary;
  std::vector<std::string> placedFiles;
  const bool model = !IsSceneFilePath(input);
  if (model) {
    importOptions.forPmx = true;
    importOptions.limitInfluences = !keepWeights;
  }
  bool isModel = false;
  std::unique_ptr<BaseDocument> doc =
      LoadInputDocument(input, &summary, &error, &isModel, importOptions);
  if (!doc) {
    cli.Error(error);
    return kExitFailure;
  }
  if (heightOption->count() > 0 && !isModel)
    return cli.UsageError("--height is for model files; a scene file keeps its scale (--unit)");
  if (isModel) {
    if (!keepWeights) settings.limitDeform = true;
    if (height > 0) {
      if (!(summary.height > 0)) {
        cli.Error("cannot scale " + input + " to --height " + heightText +
                  ": its meshes have no height");
        return kExitFailure;
      }
      settings.unit = UnitScaleData(summary.height / height, DOCUMENT_UNIT::CM);
    }
    std::printf("%s\n", FormatImportSummary(summary, PmxUnitCm(settings)).c_str());
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
  int code = kExitFailure;
  if (isModel) {
    const PmxFinish finish = FinishFor(doc.get(), summary, settings);
    code = ExportDocument(doc.get(), output, settings, cli.Command(), &finish);
  } else {
    code = ExportDocument(doc.get(), output, settings, cli.Command());
  }
  if (code != kExitOk) {
    // Textures copied for a PMX that was not written would be left behind for nothing.
    std::error_code ec;
    for (const std::string& f : placedFiles) std::filesystem::remove(f, ec);
  }
  return code;
}

}  // namespace pmxapp
