// Each format's axes and unit: read from the file where the format records them, taken from
// the format's convention where it does not. The format is the one the import library
// detected (it looks at the content), never the file's suffix: an Ogre ".mesh.xml" is no
// COLLADA file. docs/model-import.md carries the same table.
#include <assimp/commonMetaData.h>

#include <cstring>

#include "model_import_internal.h"

namespace pmxapp::modelimport {

namespace {

constexpr int X = 1, Y = 2, Z = 3;

/// How the library hands over the files of one reader, and what the format means by them.
struct FormatConvention {
  const char* reader;  // the start of the library's reader name
  const char* label;
  int up, forward;    // the format's own axes (1 X, 2 Y, 3 Z, negative: the opposite way)
  double cm;          // centimetres per unit
  bool declared;      // the file records its unit and axes
  bool libraryTurns;  // the library has already turned the data to Y up (in its root node)
};

// clang-format off
constexpr FormatConvention kConventions[] = {
    // reader                              label          up forward   cm    declared turns
    {"Autodesk FBX",                       "FBX",          Y,  Z,      1,    true,   false},
    {"glTF2",                              "glTF",         Y,  Z,      100,  false,  false},
    {"glTF",                               "glTF 1",       Y,  Z,      100,  false,  false},
    {"Collada",                            "COLLADA",      Y,  Z,      100,  true,   true },
    {"Valve SMD",                          "SMD",          Z,  -Y,     2.54, false,  false},
    {"Quake Mesh / 3D GameStudio",         "MDL",          Z,  -Y,     2.54, false,  true },
    {"Doom 3 / MD5",                       "MD5",          Z,  -Y,     2.54, false,  true },
    {"Quake II Mesh",                      "MD2",          Z,  -Y,     2.54, false,  true },
    {"Quake III Mesh",                     "MD3",          Z,  -Y,     2.54, false,  true },
    {"Return To Castle Wolfenstein",       "MDC",          Z,  -Y,     2.54, false,  true },
    {"Inter-Quake Model",                  "IQM",          Z,  -Y,     1,    false,  true },
    {"Discreet 3DS",                       "3DS",          Z,  -Y,     1,    false,  true },
    {"ASE",                                "ASE",          Z,  -Y,     1,    false,  true },
    {"Drawing Interchange Format",         "DXF",          Z,  -Y,     1,    false,  true },
    {"Blender 3D",                         "Blender",      Z,  -Y,     100,  false,  false},
    {"Stereolithography",                  "STL",          Z,  -Y,     0.1,  false,  false},
    {"3mf",                                "3MF",          Z,  -Y,     0.1,  false,  false},
    {"Additive manufacturing",             "AMF",          Z,  -Y,     0.1,  false,  false},
    {"CharacterStudio Motion",             "CSM",          Z,  -Y,     0.1,  false,  false},
    {"TrueSpace",                          "COB",          Z,  -Y,     1,    false,  false},
    {"3D GameStudio Heightmap",            "HMP",          Z,  -Y,     1,    false,  false},
    {"Terragen",                           "TER",          Z,  -Y,     1,    false,  false},
    {"Extensible 3D",                      "X3D",          Y,  Z,      100,  false,  false},
    {"LightWave",                          "LightWave",    Y,  Z,      100,  false,  false},
};
// clang-format on

Mat AxisMatrix(int up, int forward) {
  auto unit = [](int axis) {
    Vector v;
    const double s = axis < 0 ? -1.0 : 1.0;
    switch (std::abs(axis)) {
      case 1:
        v.x = s;
        break;
      case 2:
        v.y = s;
        break;
      default:
        v.z = s;
        break;
    }
    return v;
  };
  const Vector u = unit(up), f = unit(forward), r = Cross(u, f);
  Mat a;
  const Vector rows[3] = {r, u, f};
  for (int i = 0; i < 3; ++i) {
    a.m[i][0] = rows[i].x;
    a.m[i][1] = rows[i].y;
    a.m[i][2] = rows[i].z;
    a.m[i][3] = 0;
  }
  return a;
}

bool MetaNumber(const aiScene* scene, const char* key, double* out) {
  if (!scene->mMetaData) return false;
  const aiMetadata* md = scene->mMetaData;
  for (unsigned i = 0; i < md->mNumProperties; ++i) {
    if (std::strcmp(md->mKeys[i].C_Str(), key) != 0) continue;
    const aiMetadataEntry& e = md->mValues[i];
    if (!e.mData) return false;
    switch (e.mType) {
      case AI_INT32:
        *out = *static_cast<const int32_t*>(e.mData);
        return true;
      case AI_UINT64:
        *out = static_cast<double>(*static_cast<const uint64_t*>(e.mData));
        return true;
      case AI_FLOAT:
        *out = *static_cast<const float*>(e.mData);
        return true;
      case AI_DOUBLE:
        *out = *static_cast<const double*>(e.mData);
        return true;
      default:
        return false;
    }
  }
  return false;
}

std::string ReaderName(const aiScene* scene) {
  if (!scene->mMetaData) return {};
  aiString name;
  if (!scene->mMetaData->Get(AI_METADATA_SOURCE_FORMAT, name)) return {};
  return name.C_Str();
}

/// The rotation the library put into the root node (without its scale, which COLLADA's
/// <unit> adds).
Mat RootTurn(const aiScene* scene) {
  Mat r = Mat::From(scene->mRootNode->mTransformation);
  for (int i = 0; i < 3; ++i) r.m[i][3] = 0;
  const double det = r.Det();
  if (!std::isfinite(det) || det <= 0) return Mat();
  const double s = std::cbrt(det);
  for (auto& row : r.m)
    for (int j = 0; j < 3; ++j) row[j] /= s;
  return r;
}

}  // namespace

const char* AxisName(int axis) {
  static const char* kNames[] = {"-Z", "-Y", "-X", "?", "+X", "+Y", "+Z"};
  return axis >= -3 && axis <= 3 ? kNames[axis + 3] : "?";
}

FormatInfo DetectFormat(const aiScene* scene) {
  FormatInfo info;
  info.reader = ReaderName(scene);
  for (const FormatConvention& c : kConventions) {
    if (info.reader.rfind(c.reader, 0) != 0) continue;
    info.label = c.label;
    info.up = c.up;
    info.forward = c.forward;
    info.cm = c.cm;
    info.declared = c.declared;
    info.libraryTurns = c.libraryTurns;
    info.gltf = info.label.rfind("glTF", 0) == 0;
    return info;
  }
  // Every other format says nothing: Y up, facing +Z, one unit a centimetre.
  info.label = info.reader.empty() ? "unknown format" : info.reader;
  const size_t importer = info.label.rfind(" Importer");
  if (importer != std::string::npos && importer > 0) info.label.resize(importer);
  return info;
}

Conversion MakeConversion(const aiScene* scene, const ImportOptions& options) {
  Conversion conv;
  conv.format = DetectFormat(scene);
  const FormatInfo& f = conv.format;
  conv.gltf = f.gltf;
  double k = f.cm;
  Mat axes;  // the file's axes to right-handed Y up
  int up = f.up, forward = f.forward;
  if (f.declared && f.label == "FBX") {
    double unit = 0;
    if (MetaNumber(scene, "UnitScaleFactor", &unit) && std::isfinite(unit) && unit > 0) k = unit;
    // The axis system the file declares: right, up and front (towards the viewer).
    double upAxis = 1, upSign = 1, front = 2, frontSign = 1, coord = 0, coordSign = 1;
    MetaNumber(scene, "UpAxis", &upAxis);
    MetaNumber(scene, "UpAxisSign", &upSign);
    MetaNumber(scene, "FrontAxis", &front);
    MetaNumber(scene, "FrontAxisSign", &frontSign);
    MetaNumber(scene, "CoordAxis", &coord);
    MetaNumber(scene, "CoordAxisSign", &coordSign);
    const int u = static_cast<int>(upAxis), fr = static_cast<int>(front),
              co = static_cast<int>(coord);
    if (u >= 0 && u < 3 && fr >= 0 && fr < 3 && co >= 0 && co < 3 && u != fr && u != co &&
        fr != co) {
      up = (u + 1) * (upSign < 0 ? -1 : 1);
      forward = (fr + 1) * (frontSign < 0 ? -1 : 1);
      Mat a;
      for (auto& row : a.m) std::fill(row, row + 4, 0.0);
      a.m[0][co] = coordSign < 0 ? -1 : 1;
      a.m[1][u] = upSign < 0 ? -1 : 1;
      a.m[2][fr] = frontSign < 0 ? -1 : 1;
      axes = a;
    }
  } else if (!f.libraryTurns) {
    axes = AxisMatrix(up, forward);
  }
  if (f.libraryTurns) {
    // What the library turned the data with tells the file's own axes.
    const Mat turn = RootTurn(scene);
    const Mat inverse = turn.Inverse();
    const Vector fileUp = inverse.Dir(Vector(0, 1, 0)), fileForward = inverse.Dir(Vector(0, 0, 1));
    auto axisOf = [](const Vector& v) {
      const double c[3] = {v.x, v.y, v.z};
      int best = 0;
      for (int i = 1; i < 3; ++i)
        if (std::abs(c[i]) > std::abs(c[best])) best = i;
      return (best + 1) * (c[best] < 0 ? -1 : 1);
    };
    up = axisOf(fileUp);
    forward = axisOf(fileForward);
    if (options.upAxis || options.forwardAxis) conv.libraryTurn = turn;
  }
  if (options.upAxis || options.forwardAxis) {
    const int wantedUp = options.upAxis ? options.upAxis : up;
    int wantedForward = options.forwardAxis;
    if (!wantedForward) {
      // The format's forward axis when it still lies across the new up axis; otherwise the
      // usual one for that up axis.
      wantedForward = std::abs(forward) != std::abs(wantedUp) ? forward
                      : std::abs(wantedUp) == Z               ? -Y
                                                              : Z;
    }
    up = wantedUp;
    forward = wantedForward;
    axes = AxisMatrix(up, forward);
    if (f.libraryTurns) axes = axes * conv.libraryTurn.Inverse();
  }
  conv.up = up;
  conv.forward = forward;
  Mat s;
  s.m[0][0] = k;
  s.m[1][1] = k;
  s.m[2][2] = -k;  // right-handed to left-handed: Z is mirrored
  conv.c = s * axes;
  conv.cInverse = conv.c.Inverse();
  conv.unitScale = k;
  conv.reverses = conv.c.Det() < 0;
  return conv;
}

}  // namespace pmxapp::modelimport
