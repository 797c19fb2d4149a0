// The stages of a model-file import, shared by the files that carry them out:
//   model_import_read.cpp       checks the file and reads it with the import library (first in
//                               a child process, so that a damaged file costs only a message)
//   model_import_mesh.cpp       the file's node tree; one welded, triangulated mesh per node
//   model_import_materials.cpp  materials and the textures they name or embed
//   model_import_objects.cpp    the host's coordinates, joints in their bind pose, objects, tags
//                               and weights in the document
// model_import.cpp runs them in that order; texture_placement.cpp prepares the textures for
// where the PMX goes.
#pragma once

#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <assimp/Importer.hpp>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "c4d.h"
#include "model_import.h"

namespace pmxapp::modelimport {

// ---------------------------------------------------------------------------------------------
// Affine matrices in double precision, column vectors (p' = M p), rows as assimp stores them.

struct Mat {
  double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

  static Mat From(const aiMatrix4x4& a) {
    Mat r;
    const ai_real* src[3] = {&a.a1, &a.b1, &a.c1};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) r.m[i][j] = static_cast<double>(src[i][j]);
    return r;
  }
  Mat operator*(const Mat& o) const {
    Mat r;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 4; ++j) {
        double s = m[i][0] * o.m[0][j] + m[i][1] * o.m[1][j] + m[i][2] * o.m[2][j];
        if (j == 3) s += m[i][3];
        r.m[i][j] = s;
      }
    }
    return r;
  }
  Vector Point(const Vector& p) const {
    return Vector(m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
                  m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
                  m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]);
  }
  Vector Dir(const Vector& p) const {
    return Vector(m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z,
                  m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z,
                  m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z);
  }
  double Det() const {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  }
  /// Inverse; a singular matrix gives the identity and `ok` false.
  Mat Inverse(bool* ok = nullptr) const {
    const double d = Det();
    Mat r;
    if (!std::isfinite(d) || std::abs(d) < 1e-300) {
      if (ok) *ok = false;
      return r;
    }
    if (ok) *ok = true;
    const double inv = 1.0 / d;
    r.m[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) * inv;
    r.m[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * inv;
    r.m[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * inv;
    r.m[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) * inv;
    r.m[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * inv;
    r.m[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * inv;
    r.m[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) * inv;
    r.m[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * inv;
    r.m[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * inv;
    for (int i = 0; i < 3; ++i)
      r.m[i][3] = -(r.m[i][0] * m[0][3] + r.m[i][1] * m[1][3] + r.m[i][2] * m[2][3]);
    return r;
  }
  /// The matrix that turns normals: the inverse transposed, without translation.
  Mat NormalMatrix() const {
    Mat inv = Inverse();
    Mat r;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r.m[i][j] = inv.m[j][i];
    return r;
  }
  inline bool IsFinite() const {
    for (const auto& row : m)
      for (double v : row)
        if (!std::isfinite(v)) return false;
    return true;
  }
  double MaxDifference(const Mat& o) const {
    double d = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) d = std::max(d, std::abs(m[i][j] - o.m[i][j]));
    return d;
  }
  Matrix ToHost() const {
    return Matrix(Vector(m[0][3], m[1][3], m[2][3]), Vector(m[0][0], m[1][0], m[2][0]),
                  Vector(m[0][1], m[1][1], m[2][1]), Vector(m[0][2], m[1][2], m[2][2]));
  }
  static Mat FromHost(const Matrix& h) {
    Mat r;
    const Vector cols[4] = {h.v1, h.v2, h.v3, h.off};
    for (int j = 0; j < 4; ++j) {
      r.m[0][j] = cols[j].x;
      r.m[1][j] = cols[j].y;
      r.m[2][j] = cols[j].z;
    }
    return r;
  }
};

inline Vector ToVector(const aiVector3D& v) {
  return Vector(static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z));
}

inline bool IsFinite(const Vector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// ---------------------------------------------------------------------------------------------
// Reading with the import library.

constexpr unsigned kReadFlags = aiProcess_JoinIdenticalVertices | aiProcess_ValidateDataStructure;

/// The library's settings for every read (in the child and in this process alike).
void Configure(Assimp::Importer& importer);
std::string Lower(std::string s);
/// The file's suffix in lower case, with its dot.
std::string Suffix(const std::string& path);
/// A library message without its trailing line break or full stop.
std::string Trim(std::string s);
/// The reason to give for the library's message after a failed read ("not enough memory"
/// when it ran out of it).
std::string ReadFailure(const std::string& libraryMessage, const std::string& path = {});
/// False, with the reason, for a path that is missing, a folder, unreadable or empty.
bool ReadableFile(const std::string& path, std::string* reason);
/// Runs the import library on `path` in a child process. A damaged file can make the library
/// crash, abort or loop; in the child that costs a message instead of the program.
/// Answers true when the child read the file; else `reason` says what happened.
bool ProbeInChild(const std::string& path, int timeoutSeconds, std::string* reason);

// ---------------------------------------------------------------------------------------------
// Coordinates: the library gives right-handed data; the host is left-handed, Y up, centimetres.

/// A format as the import library recognised it, with its convention (model_import_formats.cpp
/// holds the table).
struct FormatInfo {
  std::string reader;       // the library's reader name
  std::string label;        // "FBX", "SMD", ...
  int up = 2, forward = 3;  // 1 X, 2 Y, 3 Z, negative: the opposite way
  double cm = 1.0;          // centimetres per unit
  bool declared = false;    // the file records its unit and axes
  bool libraryTurns = false;
  bool gltf = false;
};

FormatInfo DetectFormat(const aiScene* scene);
const char* AxisName(int axis);

struct Conversion {
  Mat c;         // linear map from file coordinates to host coordinates
  Mat cInverse;  // its inverse
  double unitScale = 1.0;
  bool reverses = false;  // the map mirrors, so polygon corners must be reversed
  bool gltf = false;
  FormatInfo format;
  int up = 2, forward = 3;  // the file's axes as used
  Mat libraryTurn;          // what the library turned the data with, when it did

  Mat Transform(const Mat& g) const { return c * g * cInverse; }
};

/// The map from the file's axes and unit to the host's: from the file where it records them,
/// from its format's convention where it does not, or from the options.
Conversion MakeConversion(const aiScene* scene, const ImportOptions& options);

// ---------------------------------------------------------------------------------------------
// Scene graph bookkeeping.

struct NodeInfo {
  const aiNode* node = nullptr;
  const aiNode* parent = nullptr;
  Mat world;  // in file coordinates
  bool isBone = false;
  bool isJoint = false;
  bool hasBoneBelow = false;
  bool underBone = false;
  bool keep = false;
  bool bindKnown = false;
  Mat bindWorld;  // in file coordinates
  BaseObject* joint = nullptr;
};

struct Graph {
  std::vector<NodeInfo> nodes;  // depth-first pre-order
  std::unordered_map<const aiNode*, size_t> index;
  std::unordered_map<std::string, size_t> byName;  // first node of each name

  NodeInfo* Find(const aiNode* n) {
    auto it = index.find(n);
    return it == index.end() ? nullptr : &nodes[it->second];
  }
  NodeInfo* FindByName(const std::string& name) {
    auto it = byName.find(name);
    return it == byName.end() ? nullptr : &nodes[it->second];
  }
};

/// Appends `n` and everything below it to `g`, depth first, with world matrices.
void CollectNodes(Graph& g, const aiNode* n, const aiNode* parent, const Mat& parentWorld,
                  int depth);
/// True for a face the host can hold: three or more corners.
bool IsPolygon(const aiFace& f);
bool MeshHasPolygons(const aiMesh* m);

// ---------------------------------------------------------------------------------------------
// Building one object from a node's mesh parts.

struct Corner {
  Int32 point = 0;
  Vector32 uv;
  Vector normal;
  bool hasNormal = false;
};

struct Face {
  std::vector<Corner> corners;  // 3 or 4
  unsigned material = 0;
};

struct BuiltMesh {
  std::vector<Vector> points;
  std::vector<Face> faces;
  bool anyUv = false;
  bool anyNormal = false;
  std::vector<std::vector<std::pair<Int32, Float32>>> weights;  // per point: (slot, weight)
  std::vector<NodeInfo*> jointSlots;
  std::vector<std::string> shapeNames;
  std::vector<std::vector<Vector>> shapePoints;  // per shape, per point
  size_t skippedElements = 0;
  size_t skippedShapes = 0;
  std::set<std::string> missingBones;  // bones of the skin without a node in the file
};

/// Splits a polygon of more than four corners into triangles by ear clipping in the plane
/// that the polygon faces most, so that concave outlines stay inside their outline.
std::vector<std::array<size_t, 3>> Triangulate(const std::vector<Vector>& pos);
/// Merges the node's mesh parts into one point set: vertices that the file split only for
/// normals, UVs or materials become one point again (same position, same weights, same
/// position in every shape).
bool BuildMesh(const aiScene* scene, const aiNode* node, Graph& graph, const Conversion& conv,
               BuiltMesh* out, std::string* error);
/// The polygon normal in the host's convention: (b - a) x (c - a), unit length.
Vector FaceNormal(const std::vector<Vector>& pts, const Face& f);
/// Applies what the object's matrix could not hold (mirroring, shear) to the points and
/// normals, and reverses the corners when the whole conversion mirrors.
void FinishGeometry(BuiltMesh* mesh, const Mat& residual, bool reverse);
/// A polygon object holding the built mesh (or only its points for a morph target).
PolygonObject* MakePolygonObject(const BuiltMesh& mesh, const std::vector<Vector>& points,
                                 const std::string& name);

// ---------------------------------------------------------------------------------------------
// Materials and the objects that use them.

/// The last part of a path with either kind of slash.
std::string Basename(const std::string& p);
/// `base`, or `base.2`, `base.3`, ... when `used` holds it already; adds the answer to `used`.
std::string UniqueName(const std::string& base, std::set<std::string>* used);
/// One document material per file material, in the file's order (null where the file's is
/// missing), inserted into `doc`; textures go to `summary->textures`. `modelPath` is absolute.
std::vector<BaseMaterial*> AddMaterials(const aiScene* scene, const std::string& modelPath,
                                        const ImportOptions& options, BaseDocument* doc,
                                        ImportSummary* summary);
/// The files a texture the model names as `stored` may be, best first, that exist: as stored
/// (relative to the model's folder `modelDir`), then by its file name in that folder and the
/// usual texture folders beside it; every part of a name matched in any case when the exact
/// one is missing. Windows paths are looked for by their file name.
std::vector<std::filesystem::path> TextureCandidates(const std::string& stored,
                                                     const std::filesystem::path& modelDir);
/// COLLADA materials whose <transparency> the file writes with a decimal comma ("0,2", which
/// the library reads as 0), by material id and name: their opacity by the declared mode of
/// <transparent> (A_ONE, RGB_ZERO, A_ZERO, RGB_ONE).
std::map<std::string, float> ColladaCommaOpacities(const std::string& path);
/// Where TextureCandidates looked, for the message about a texture not found.
std::string TextureSearchText(const std::string& stored, const std::filesystem::path& modelDir);
/// Joints, nulls, polygon and morph objects with their tags, as the host would hold the
/// file's scene; counts and warnings go to `summary`. False with `error` on bad data.
bool AddObjects(const aiScene* scene, const ImportOptions& options,
                const std::vector<BaseMaterial*>& materials, BaseDocument* doc,
                ImportSummary* summary, std::string* error);

}  // namespace pmxapp::modelimport
