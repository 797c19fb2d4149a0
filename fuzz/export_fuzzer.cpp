// libFuzzer target for the PMX export: a scene file is loaded as pmxexport loads it and saved
// through the module's PMX saver, as pmxexport export does. Whatever the saver writes must be
// a complete, consistent PMX (read to its last byte, every count and index in range), it must
// report success exactly when it wrote a file, and a failed save must leave no file behind.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "FTavoPmxExport.h"
#include "app_host.h"
#include "c4d_host.h"
#include "scene_file.h"
#include "support/pmx_reader.h"

namespace fs = std::filesystem;

namespace {

fs::path gFolder;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "export_fuzzer: %s\n", what.c_str());
  std::abort();
}

struct Settings {
  bool allOptions = false;
  Int64 failWriteAfter = -1;
};

/// Saves `doc` to `path` through a fresh saver node, as pmxexport export does.
FILEERROR Save(BaseDocument* doc, const fs::path& path, const Settings& s) {
  const host::PluginInfo* info = host::FindSaverBySuffix(String("pmx"));
  if (!info) Fail("no PMX saver is registered");
  std::unique_ptr<BaseSceneSaver> saver(host::AllocSceneSaver(info->id));
  if (!saver) Fail("the PMX saver could not be created");
  if (s.allOptions) {
    // Every setting away from its default: another unit, texture folder, material names and
    // normalised weights take other paths through the conversion.
    BaseContainer* bc = saver->GetDataInstance();
    bc->SetData(PMX_EXPORT_UNIT, GeData(UnitScaleData(1.0, DOCUMENT_UNIT::MM)));
    bc->SetBool(PMX_EXPORT_USE_TEXTURE_FOLDER, true);
    bc->SetString(PMX_EXPORT_TEXTURE_FOLDER, String("tex"));
    bc->SetBool(PMX_EXPORT_MATERIAL_NAME_WITH_OBJECT, true);
    bc->SetBool(PMX_EXPORT_LIMIT_DEFORM, true);
  }
  host::SetWriteFailureAfter(s.failWriteAfter);
  BaseDocument* previous = GetActiveDocument();
  SetActiveDocument(doc);
  const FILEERROR result = host::SaveDocument(saver.get(), doc, Filename(String(path.string())));
  SetActiveDocument(previous);
  host::SetWriteFailureAfter(-1);
  return result;
}

/// The names in the output folder: the PMX alone after a success, nothing after a failure
/// (a partial file left beside it counts as a file left behind).
std::string FolderListing() {
  std::string names;
  for (const auto& e : fs::directory_iterator(gFolder)) names += e.path().filename().string() + " ";
  return names;
}

bool Finite(const float* v, int n) {
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

/// The first inconsistency of a parsed file, or an empty text.
std::string Inconsistency(const pmxtest::File& f) {
  const auto vertices = static_cast<Int64>(f.vertices.size());
  const auto textures = static_cast<Int64>(f.textures.size());
  const auto bones = static_cast<Int64>(f.bones.size());
  auto fits = [](int size, Int64 count, bool vertex) {
    const Int64 limit = size == 1   ? (vertex ? 255 : 127)
                        : size == 2 ? (vertex ? 65535 : 32767)
                                    : INT32_MAX;
    return count <= limit;
  };
  auto inRange = [](Int64 i, Int64 count) { return i >= 0 && i < count; };
  auto optional = [&](Int64 i, Int64 count) { return i == -1 || inRange(i, count); };

  if (f.version != 2.0f) return "version is not 2.0";
  if (f.globals[0] != 0) return "texts are not UTF-16LE";
  if (f.globals[1] != 0) return "additional UVs";
  if (!fits(f.vertexSize(), vertices, true)) return "vertex index size too small";
  if (!fits(f.textureSize(), textures, false)) return "texture index size too small";
  if (!fits(f.materialSize(), static_cast<Int64>(f.materials.size()), false))
    return "material index size too small";
  if (!fits(f.boneSize(), bones, false)) return "bone index size too small";
  if (!fits(f.morphSize(), static_cast<Int64>(f.morphs.size()), false))
    return "morph index size too small";
  if (f.globals[7] != 1 && f.globals[7] != 2 && f.globals[7] != 4) return "bad rigid body size";

  for (const pmxtest::Vertex& v : f.vertices) {
    if (!Finite(v.position, 3) || !Finite(v.normal, 3) || !Finite(v.uv, 2) ||
        !Finite(v.weight, 4) || !std::isfinite(v.edgeScale))
      return "vertex with a value that is not finite";
    const int used = v.deformType == 0 ? 1 : v.deformType == 1 ? 2 : 4;
    for (int i = 0; i < used; ++i) {
      // An unused BDEF4 slot may name no bone; a slot that carries weight must name one.
      const bool carries = v.deformType != 2 || v.weight[i] != 0.0f;
      if (carries ? !inRange(v.bone[i], bones) : !optional(v.bone[i], bones))
        return "vertex bone index " + std::to_string(v.bone[i]) + " out of range";
    }
  }
  if (f.faces.size() % 3 != 0) return "face index count not a multiple of 3";
  for (uint32_t i : f.faces)
    if (i >= f.vertices.size()) return "face index " + std::to_string(i) + " out of range";

  size_t materialFaces = 0;
  for (const pmxtest::Material& m : f.materials) {
    if (m.faceCount < 0 || m.faceCount % 3 != 0) return "bad material face count";
    materialFaces += static_cast<size_t>(m.faceCount);
    if (!optional(m.texture, textures) || !optional(m.sphereTexture, textures))
      return "material texture index out of range";
    if (m.sphereMode > 3) return "bad sphere mode";
    if (m.sharedToon > 1) return "bad shared toon flag";
    if (m.sharedToon ? (m.toon < 0 || m.toon > 9) : !optional(m.toon, textures))
      return "material toon index out of range";
    if (!Finite(m.diffuse, 4) || !Finite(m.specular, 3) || !Finite(m.ambient, 3) ||
        !Finite(m.edgeColor, 4) || !std::isfinite(m.specularPower) || !std::isfinite(m.edgeSize))
      return "material with a value that is not finite";
  }
  if (materialFaces != f.faces.size()) return "material face counts do not add up";

  for (Int64 i = 0; i < bones; ++i) {
    const pmxtest::Bone& b = f.bones[static_cast<size_t>(i)];
    if (!optional(b.parent, bones) || b.parent == i) return "bone parent out of range";
    if ((b.flags & 0x0001) && !optional(b.tailIndex, bones)) return "bone tail out of range";
    if (!Finite(b.position, 3) || !Finite(b.tailOffset, 3)) return "bone position not finite";
  }
  for (const pmxtest::Morph& m : f.morphs) {
    if (m.kind != 1) return "morph of another kind than vertex";
    if (m.panel < 0 || m.panel > 4) return "bad morph panel";
    for (const pmxtest::MorphOffset& o : m.offsets) {
      if (!inRange(o.vertex, vertices)) return "morph vertex index out of range";
      if (!Finite(o.offset, 3)) return "morph offset not finite";
    }
  }
  for (const pmxtest::Frame& fr : f.frames) {
    if (fr.special > 1) return "bad display frame flag";
    for (int b : fr.bones)
      if (!inRange(b, bones)) return "display frame bone index out of range";
  }
  if (f.rigidBodies != 0 || f.joints != 0) return "rigid bodies or joints";
  return {};
}

/// Saves and checks the outcome; answers the size of the file written (0: none).
std::uintmax_t SaveAndCheck(BaseDocument* doc, const Settings& s) {
  const fs::path out = gFolder / "out.pmx";
  const FILEERROR result = Save(doc, out, s);
  std::error_code ec;
  const bool written = fs::exists(out, ec);
  const std::string listing = FolderListing();
  if (result != FILEERROR_NONE) {
    if (!listing.empty())
      Fail("the saver failed (" + std::to_string(result) + ") but left " + listing);
    return 0;
  }
  if (!written) Fail("the saver reported success but wrote no file");
  if (listing != "out.pmx ") Fail("the saver left more than its file: " + listing);
  const std::uintmax_t size = fs::file_size(out);
  std::string problem;
  try {
    problem = Inconsistency(pmxtest::Reader(pmxtest::ReadBytes(out.string())).Read());
  } catch (const std::exception& e) {
    problem = e.what();
  }
  if (!problem.empty()) Fail("the written file " + out.string() + " is broken: " + problem);
  fs::remove(out);
  return size;
}

void RemoveFolder() {
  std::error_code ec;
  fs::remove_all(gFolder, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string error;
  if (!pmxapp::StartHost(&error)) Fail(error);
  // The saver's console lines would be printed for every input.
  host::SetConsoleListener(nullptr);
  std::string pattern = (fs::temp_directory_path() / "pmx_export_fuzz_XXXXXX").string();
  if (!mkdtemp(pattern.data())) Fail("cannot create a scratch folder");
  gFolder = pattern;
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::unique_ptr<BaseDocument> doc = pmxapp::LoadSceneText(text, "fuzz.json", &error);
  if (doc) {
    const std::uintmax_t written = SaveAndCheck(doc.get(), Settings{});
    if (written > 0) {
      // A disk that fills half way: the save must fail and leave nothing.
      Settings full;
      full.failWriteAfter = static_cast<Int64>(written / 2);
      if (SaveAndCheck(doc.get(), full) != 0) Fail("a save whose writes failed reported success");
    }
    SaveAndCheck(doc.get(), Settings{true, -1});
  }
  host::ClearRecords();
  return 0;
}
