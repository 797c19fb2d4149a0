// Model files in: interchange formats (FBX, glTF/GLB, COLLADA, DirectX X, SMD, MD5, OBJ and
// the others the packaged import library reads) turned into a host document, the way the
// character would look in the host after an import, so that the ordinary saver exports it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "c4d.h"

namespace pmxapp {

/// A texture that a material of an imported document refers to.
struct ModelTexture {
  /// The text in the material's colour channel.
  std::string reference;
  /// The name as the model file stores it, for messages.
  std::string stored;
  /// The file on disk (absolute), or empty for a texture embedded in the model file.
  std::string sourcePath;
  /// An embedded texture's file content (an image file, or a TGA made from raw texels).
  std::vector<unsigned char> data;
};

/// What a PMX material made from a document material should carry that the host's material
/// has no place for.
struct MaterialLook {
  bool doubleSided = false;
  /// The ambient colour: half the diffuse colour, as MMD's tools derive it, or the emissive
  /// colour where that is brighter.
  Vector ambient;
};

/// What an import made, for the summary line and the texture placement.
struct ImportSummary {
  std::string file;
  /// The model's name: the file's name without its suffix.
  std::string modelName;
  /// The format the import library recognised (by content), and the file's axes as read
  /// (1 X, 2 Y, 3 Z, negative: the opposite way).
  std::string format;
  int up = 2, forward = 3;
  /// The height of the meshes in the document (centimetres, along Y).
  double height = 0;
  int objects = 0;    // polygon objects (the bases of morph objects included, targets not)
  int points = 0;     // points of those objects
  int polygons = 0;   // polygons of those objects
  int materials = 0;  // materials of the document
  int joints = 0;
  int shapes = 0;  // morph targets
  /// Centimetres per unit of the file, as applied to every length (1 when the format does
  /// not say).
  double unitScale = 1.0;
  std::vector<ModelTexture> textures;
  /// By document material name (unique in the document).
  std::map<std::string, MaterialLook> looks;
  /// Non-fatal problems (elements skipped, shapes that do not fit their mesh).
  std::vector<std::string> warnings;
};

struct ImportOptions {
  /// The import library runs first in a child process so that a damaged file that makes it
  /// crash or hang ends in a message; this bounds that run (unset: ImportTimeLimit of the
  /// file's size).
  std::optional<int> timeoutSeconds;
  /// The file's up and forward axes (1 X, 2 Y, 3 Z, negative: the opposite way), replacing
  /// what the file declares or its format's convention; 0: not given.
  int upAxis = 0, forwardAxis = 0;
  /// At most four joint influences per point, the strongest, normalised to sum 1, with one
  /// warning per object that needed it (what a PMX reader draws right).
  bool limitInfluences = false;
  /// Laid out for one PMX: mesh objects that share a material become one object (so that
  /// each material is one PMX material), joints under one root joint.
  bool forPmx = false;
};

/// Reads an axis as the command line gives it ("y", "+Y", "-z"); 0 when it is none.
int ParseAxis(const std::string& text);

/// The time the import library gets to read a file of `bytes` bytes: a few seconds for a small
/// file, growing with the size, so that a tiny damaged file cannot pin a processor for minutes
/// while a large model still has ample time.
int ImportTimeLimit(unsigned long long bytes);

/// Imports a model file into a new document (points in centimetres, left-handed, Y up).
/// On failure answers null and sets `error` to one line naming the file and the reason.
std::unique_ptr<BaseDocument> ImportModelFile(const std::string& path, ImportSummary* summary,
                                              std::string* error,
                                              const ImportOptions& options = ImportOptions());

/// The summary line printed before the saver's own console lines; `pmxUnitCm` (when
/// positive) adds the height in PMX units.
std::string FormatImportSummary(const ImportSummary& summary, double pmxUnitCm = 0);

/// The height of a document's meshes in centimetres (along Y, morph targets left out).
double DocumentHeight(BaseDocument* doc);

/// True for the app's own scene files (suffix ".json").
bool IsSceneFilePath(const std::string& path);
/// True for a suffix that the import library reads.
bool IsModelFilePath(const std::string& path);

/// Any input the app reads: a scene file or a model file, chosen by the suffix. `summary`
/// (may be null) is filled for model files only; `isModel` (may be null) tells which it was.
std::unique_ptr<BaseDocument> LoadInputDocument(const std::string& path, ImportSummary* summary,
                                                std::string* error, bool* isModel = nullptr,
                                                const ImportOptions& options = ImportOptions());

/// How the textures of a document reach a PMX written to `outputPath`.
struct TexturePlacement {
  /// Copy every texture file beside the output and write embedded textures out as files; the
  /// PMX then names them by their bare file names.
  bool copy = false;
  /// The saver's texture folder, when set: it prefixes every name in the PMX, so names stay
  /// bare and copies go into that folder beside the output.
  std::optional<std::string> textureFolder;
  /// Folders besides the model's own from which textures may be named or copied.
  std::vector<std::string> roots;
};

/// Rewrites the texture names in the materials' colour channels so that a PMX written to
/// `outputPath` finds its textures: relative to the PMX's folder, or, with `copy`, bare names
/// of copies beside it (in the texture folder, when one is set). Only images (by content)
/// inside `inputPath`'s folder tree or a folder of `placement.roots` (links resolved) are named
/// or copied; a texture that is missing, elsewhere or not an image loses its name, with one
/// message naming it, since readers drop a material whose texture is missing. Copies never
/// replace a different file: an identical one is reused, otherwise a free name is chosen.
/// Relative names in the document are taken relative to `inputPath`'s folder. `textures`
/// lists what an import found (embedded data included); may be empty. Lines for the user go to
/// `messages`; the files it creates go to `created` (may be null), so that a failed export can
/// remove them. Answers false (with `error`) only when a copy fails; nothing it made is left.
bool PlaceTextures(BaseDocument* doc, const std::string& inputPath,
                   const std::vector<ModelTexture>& textures, const std::string& outputPath,
                   const TexturePlacement& placement, std::vector<std::string>* messages,
                   std::string* error, std::vector<std::string>* created = nullptr);

}  // namespace pmxapp
