#include "model_import.h"

#include <cmath>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "c4d_symbols.h"
#include "model_import_internal.h"
#include "scene_file.h"

namespace fs = std::filesystem;

namespace pmxapp {

using namespace modelimport;

namespace {

/// The lowest and highest Y of the exported meshes' points (morph targets left out).
void MeasureHeight(BaseObject* op, bool underMorph, double* low, double* high) {
  for (; op; op = op->GetNext()) {
    if (op->GetType() == Opolygon) {
      auto* poly = static_cast<PolygonObject*>(op);
      const Matrix mg = poly->GetMg();
      for (Int32 i = 0; i < poly->GetPointCount(); ++i) {
        const double y = (mg * poly->GetPointR()[i]).y;
        *low = std::min(*low, y);
        *high = std::max(*high, y);
      }
      // A morph object's first polygon child is its base; the others are its shapes.
      if (underMorph) return;
    }
    MeasureHeight(op->GetDown(), op->GetType() == ID_PMXMORPHOBJECT, low, high);
  }
}

}  // namespace

int ParseAxis(const std::string& text) {
  std::string t = Lower(text);
  int sign = 1;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    sign = t[0] == '-' ? -1 : 1;
    t = t.substr(1);
  }
  if (t == "x") return sign;
  if (t == "y") return 2 * sign;
  if (t == "z") return 3 * sign;
  return 0;
}

double DocumentHeight(BaseDocument* doc) {
  double low = HUGE_VAL, high = -HUGE_VAL;
  MeasureHeight(doc->GetFirstObject(), false, &low, &high);
  return high >= low ? high - low : 0.0;
}

bool IsSceneFilePath(const std::string& path) { return Suffix(path) == ".json"; }

bool IsModelFilePath(const std::string& path) {
  const std::string suffix = Suffix(path);
  if (suffix.empty() || suffix == ".json") return false;
  Assimp::Importer importer;
  return importer.IsExtensionSupported(suffix);
}

std::unique_ptr<BaseDocument> ImportModelFile(const std::string& path, ImportSummary* summary,
                                              std::string* error, const ImportOptions& options) {
  ImportSummary local;
  ImportSummary& sum = summary ? *summary : local;
  sum = ImportSummary();
  sum.file = path;
  std::string scratch;
  std::string& err = error ? *error : scratch;
  auto fail = [&](const std::string& why) {
    err = "cannot import " + path + ": " + why;
    return nullptr;
  };

  std::string reason;
  if (!ReadableFile(path, &reason)) return fail(reason);
  // Without a suffix the library looks at the content; an unknown suffix is refused here.
  const std::string suffix = Suffix(path);
  if (!suffix.empty() && !IsModelFilePath(path))
    return fail("\"" + suffix + "\" is not a model format that can be read");
  std::error_code sizeError;
  const auto size = fs::file_size(path, sizeError);
  const int seconds =
      options.timeoutSeconds ? *options.timeoutSeconds : ImportTimeLimit(sizeError ? 0 : size);
  if (!ProbeInChild(path, seconds, &reason)) return fail(reason);

  Assimp::Importer importer;
  Configure(importer);
  const aiScene* scene = importer.ReadFile(path, kReadFlags);
  if (!scene) return fail(ReadFailure(importer.GetErrorString(), path));
  if (!scene->mRootNode) return fail("the file holds no scene");

  bool anyPolygons = false;
  for (unsigned i = 0; i < scene->mNumMeshes; ++i)
    if (scene->mMeshes[i] && MeshHasPolygons(scene->mMeshes[i])) anyPolygons = true;
  if (!anyPolygons) return fail("the file holds no polygon mesh");

  auto doc = std::make_unique<BaseDocument>();
  const fs::path abs = fs::absolute(fs::path(path));
  doc->SetDocumentPath(Filename(String(abs.parent_path().string())));
  doc->SetDocumentName(Filename(String(abs.filename().string())));
  doc->GetDataInstance()->SetData(DOCUMENT_DOCUNIT, GeData(UnitScaleData(1.0, DOCUMENT_UNIT::CM)));

  sum.modelName = abs.stem().string();
  // "Name.mesh.xml": the Ogre format's double suffix is no part of the name.
  if (Lower(fs::path(sum.modelName).extension().string()) == ".mesh")
    sum.modelName = fs::path(sum.modelName).stem().string();
  const std::vector<BaseMaterial*> materials =
      AddMaterials(scene, abs.string(), options, doc.get(), &sum);
  if (!AddObjects(scene, options, materials, doc.get(), &sum, &reason)) return fail(reason);
  sum.height = DocumentHeight(doc.get());
  return doc;
}

std::string FormatImportSummary(const ImportSummary& s, double pmxUnitCm) {
  std::ostringstream o;
  o << "Imported " << fs::path(s.file).filename().string() << ": " << s.objects
    << (s.objects == 1 ? " object, " : " objects, ") << s.points
    << (s.points == 1 ? " point, " : " points, ") << s.polygons
    << (s.polygons == 1 ? " polygon, " : " polygons, ") << s.materials
    << (s.materials == 1 ? " material, " : " materials, ") << s.joints
    << (s.joints == 1 ? " joint, " : " joints, ") << s.shapes
    << (s.shapes == 1 ? " shape" : " shapes");
  o << std::fixed << std::setprecision(1) << "; " << s.format << ", " << AxisName(s.up) << " up, "
    << s.height << " cm tall";
  if (pmxUnitCm > 0) o << " (" << s.height / pmxUnitCm << " PMX units)";
  return o.str();
}

std::unique_ptr<BaseDocument> LoadInputDocument(const std::string& path, ImportSummary* summary,
                                                std::string* error, bool* isModel,
                                                const ImportOptions& options) {
  const bool model = !IsSceneFilePath(path);
  if (isModel) *isModel = model;
  if (!model) return LoadSceneFile(path, error);
  return ImportModelFile(path, summary, error, options);
}

}  // namespace pmxapp
