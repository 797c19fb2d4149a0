#include "model_import.h"

#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <assimp/Importer.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "c4d_symbols.h"
#include "scene_file.h"

namespace fs = std::filesystem;

// The address sanitizer reserves terabytes of address space, so no address-space limit there.
#if defined(__SANITIZE_ADDRESS__)
#define PMX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PMX_UNDER_ASAN 1
#endif
#endif
#ifndef PMX_UNDER_ASAN
#define PMX_UNDER_ASAN 0
#endif

namespace pmxapp {
namespace {

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
  bool IsFinite() const {
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

Vector ToVector(const aiVector3D& v) {
  return Vector(static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z));
}

bool IsFinite(const Vector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// ---------------------------------------------------------------------------------------------
// Reading with the import library.

constexpr unsigned kReadFlags = aiProcess_JoinIdenticalVertices | aiProcess_ValidateDataStructure;

void Configure(Assimp::Importer& importer) {
  // Pivot helper nodes would otherwise sit between bones and turn into joints.
  importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
  // Lengths are converted by this importer from the file's unit, not by the library.
  importer.SetPropertyBool(AI_CONFIG_FBX_CONVERT_TO_M, false);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Suffix(const std::string& path) { return Lower(fs::path(path).extension().string()); }

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s;
}

/// Runs the import library on `path` in a child process. A damaged file can make the library
/// crash, abort or loop; in the child that costs a message instead of the program.
/// Answers true when the child read the file; else `reason` says what happened.
/// Exit status of the child when the library refused the file with a message of its own; any
/// other failure means the library itself went down (a sanitizer turns a crash into exit 1).
constexpr int kProbeRefused = 3;

bool ProbeInChild(const std::string& path, int timeoutSeconds, std::string* reason) {
  std::error_code ec;
  const auto fileSize = fs::file_size(path, ec);
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  const rlim_t physical = pages > 0 && pageSize > 0
                              ? static_cast<rlim_t>(pages) * static_cast<rlim_t>(pageSize)
                              : rlim_t(8) << 30;
  const rlim_t memoryLimit =
      std::min<rlim_t>(physical / 4 * 3, (rlim_t(2) << 30) + (ec ? 0 : rlim_t(fileSize) * 200));
  int fds[2];
  if (pipe(fds) != 0) return true;  // cannot isolate: read in-process as the last resort
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return true;
  }
  if (pid == 0) {
    close(fds[0]);
    // The library's messages would only repeat what the pipe carries.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
#if !PMX_UNDER_ASAN
    // A damaged file that claims absurd sizes must fail here quickly instead of exhausting
    // the machine; real models need a small multiple of their size.
    rlimit rl{memoryLimit, memoryLimit};
    setrlimit(RLIMIT_AS, &rl);
#endif
    Assimp::Importer importer;
    Configure(importer);
    const aiScene* scene = importer.ReadFile(path, kReadFlags);
    if (!scene) {
      const std::string msg = importer.GetErrorString();
      ssize_t unused = write(fds[1], msg.data(), msg.size());
      (void)unused;
      _exit(kProbeRefused);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string message;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the child is done
    message.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    *reason = "reading did not finish within " + std::to_string(timeoutSeconds) +
              " seconds; the file is damaged or far too large";
    return false;
  }
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    *reason = "the file is damaged or truncated: the import library stopped with signal " +
              std::to_string(sig) + " (" + strsignal(sig) + ") while reading it";
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != kProbeRefused) {
    *reason = "the file is damaged or truncated: the import library stopped while reading it";
    return false;
  }
  if (message.find("bad_alloc") != std::string::npos) {
    *reason = "the file asks for more than " + std::to_string(memoryLimit >> 20) +
              " MB of memory; it is damaged or too large for this machine";
    return false;
  }
  *reason = message.empty() ? "the import library could not read it" : Trim(message);
  return false;
}

// ---------------------------------------------------------------------------------------------
// Coordinates: the library gives right-handed data; the host is left-handed, Y up, centimetres.

struct Conversion {
  Mat c;         // linear map from file coordinates to host coordinates
  Mat cInverse;  // its inverse
  double unitScale = 1.0;
  bool reverses = false;  // the map mirrors, so polygon corners must be reversed
  bool gltf = false;

  Mat Transform(const Mat& g) const { return c * g * cInverse; }
};

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

Conversion MakeConversion(const aiScene* scene, const std::string& path) {
  Conversion conv;
  const std::string suffix = Suffix(path);
  double k = 1.0;
  Mat axes;  // file axes to right-handed Y up
  if (suffix == ".gltf" || suffix == ".glb") {
    k = 100.0;  // glTF is in metres
    conv.gltf = true;
  } else if (suffix == ".dae" || suffix == ".zae" || suffix == ".xml") {
    k = 100.0;  // the library applies <unit> and <up_axis>, leaving metres
  } else if (suffix == ".fbx") {
    double f = 0;
    if (MetaNumber(scene, "UnitScaleFactor", &f) && std::isfinite(f) && f > 0) k = f;
    // The axis system the file declares: right, up and front (towards the viewer).
    double up = 1, upSign = 1, front = 2, frontSign = 1, coord = 0, coordSign = 1;
    MetaNumber(scene, "UpAxis", &up);
    MetaNumber(scene, "UpAxisSign", &upSign);
    MetaNumber(scene, "FrontAxis", &front);
    MetaNumber(scene, "FrontAxisSign", &frontSign);
    MetaNumber(scene, "CoordAxis", &coord);
    MetaNumber(scene, "CoordAxisSign", &coordSign);
    const int u = static_cast<int>(up), fr = static_cast<int>(front), co = static_cast<int>(coord);
    if (u >= 0 && u < 3 && fr >= 0 && fr < 3 && co >= 0 && co < 3 && u != fr && u != co &&
        fr != co) {
      Mat a;
      for (auto& row : a.m) std::fill(row, row + 4, 0.0);
      a.m[0][co] = coordSign < 0 ? -1 : 1;
      a.m[1][u] = upSign < 0 ? -1 : 1;
      a.m[2][fr] = frontSign < 0 ? -1 : 1;
      axes = a;
    }
  }
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

void CollectNodes(Graph& g, const aiNode* n, const aiNode* parent, const Mat& parentWorld,
                  int depth) {
  if (!n || depth > 1000) return;
  NodeInfo info;
  info.node = n;
  info.parent = parent;
  info.world = parentWorld * Mat::From(n->mTransformation);
  const size_t at = g.nodes.size();
  g.nodes.push_back(info);
  g.index[n] = at;
  g.byName.emplace(n->mName.C_Str(), at);
  const Mat world = g.nodes[at].world;
  for (unsigned i = 0; i < n->mNumChildren; ++i)
    CollectNodes(g, n->mChildren[i], n, world, depth + 1);
}

/// True for a face the host can hold: three or more corners.
bool IsPolygon(const aiFace& f) { return f.mNumIndices >= 3 && f.mIndices; }

bool MeshHasPolygons(const aiMesh* m) {
  for (unsigned i = 0; i < m->mNumFaces; ++i)
    if (IsPolygon(m->mFaces[i])) return true;
  return false;
}

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
std::vector<std::array<size_t, 3>> Triangulate(const std::vector<Vector>& pos) {
  const size_t n = pos.size();
  std::vector<std::array<size_t, 3>> tris;
  Vector normal;
  for (size_t i = 0; i < n; ++i) {
    const Vector& a = pos[i];
    const Vector& b = pos[(i + 1) % n];
    normal.x += (a.y - b.y) * (a.z + b.z);
    normal.y += (a.z - b.z) * (a.x + b.x);
    normal.z += (a.x - b.x) * (a.y + b.y);
  }
  int drop = 2;
  if (std::abs(normal.x) >= std::abs(normal.y) && std::abs(normal.x) >= std::abs(normal.z))
    drop = 0;
  else if (std::abs(normal.y) >= std::abs(normal.z))
    drop = 1;
  std::vector<std::pair<double, double>> p(n);
  for (size_t i = 0; i < n; ++i) {
    const Vector& v = pos[i];
    p[i] = drop == 0   ? std::make_pair(v.y, v.z)
           : drop == 1 ? std::make_pair(v.z, v.x)
                       : std::make_pair(v.x, v.y);
  }
  double area = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto& a = p[i];
    const auto& b = p[(i + 1) % n];
    area += a.first * b.second - b.first * a.second;
  }
  const double orient = area >= 0 ? 1.0 : -1.0;
  auto cross = [&](size_t a, size_t b, size_t c) {
    return ((p[b].first - p[a].first) * (p[c].second - p[a].second) -
            (p[b].second - p[a].second) * (p[c].first - p[a].first)) *
           orient;
  };
  auto inside = [&](size_t a, size_t b, size_t c, size_t q) {
    return cross(a, b, q) >= 0 && cross(b, c, q) >= 0 && cross(c, a, q) >= 0;
  };
  std::vector<size_t> ring(n);
  for (size_t i = 0; i < n; ++i) ring[i] = i;
  // Ear clipping costs n^3 at worst; outlines of thousands of corners are fanned instead.
  constexpr size_t kMaxClippedCorners = 512;
  size_t guard = n > kMaxClippedCorners ? n * n : 0;
  while (ring.size() > 3 && guard < n * n) {
    ++guard;
    bool clipped = false;
    for (size_t i = 0; i < ring.size(); ++i) {
      const size_t a = ring[(i + ring.size() - 1) % ring.size()], b = ring[i],
                   c = ring[(i + 1) % ring.size()];
      if (cross(a, b, c) <= 0) continue;
      bool ear = true;
      for (size_t q : ring) {
        // An outline that runs through one place twice (a bridge to a hole) repeats corners;
        // those touch the ear without blocking it.
        if (p[q] == p[a] || p[q] == p[b] || p[q] == p[c]) continue;
        if (inside(a, b, c, q)) {
          ear = false;
          break;
        }
      }
      if (!ear) continue;
      tris.push_back({a, b, c});
      ring.erase(ring.begin() + static_cast<std::ptrdiff_t>(i));
      clipped = true;
      break;
    }
    if (!clipped) break;
  }
  if (ring.size() == 3) {
    tris.push_back({ring[0], ring[1], ring[2]});
  } else {
    // Degenerate or self-intersecting outline: a fan over what is left.
    for (size_t i = 1; i + 1 < ring.size(); ++i) tris.push_back({ring[0], ring[i], ring[i + 1]});
  }
  return tris;
}

void AppendBytes(std::string& key, const void* p, size_t n) {
  key.append(static_cast<const char*>(p), n);
}

/// Merges the node's mesh parts into one point set: vertices that the file split only for
/// normals, UVs or materials become one point again (same position, same weights, same
/// position in every shape).
bool BuildMesh(const aiScene* scene, const aiNode* node, Graph& graph, const Conversion& conv,
               BuiltMesh* out, std::string* error) {
  std::vector<const aiMesh*> parts;
  for (unsigned i = 0; i < node->mNumMeshes; ++i) {
    const unsigned mi = node->mMeshes[i];
    if (mi >= scene->mNumMeshes) continue;
    const aiMesh* m = scene->mMeshes[mi];
    if (!m || !m->mVertices) continue;
    if (!MeshHasPolygons(m)) {
      out->skippedElements += m->mNumFaces;
      continue;
    }
    parts.push_back(m);
  }
  if (parts.empty()) return true;

  // Shapes of all parts, by name; unnamed shapes are matched by their position.
  std::vector<std::vector<int>> shapeOfAnim(parts.size());
  for (size_t pi = 0; pi < parts.size(); ++pi) {
    const aiMesh* m = parts[pi];
    std::set<std::string> namesInPart;
    for (unsigned a = 0; a < m->mNumAnimMeshes; ++a) {
      const aiAnimMesh* am = m->mAnimMeshes[a];
      if (!am || am->mNumVertices != m->mNumVertices) {
        shapeOfAnim[pi].push_back(-1);
        ++out->skippedShapes;
        continue;
      }
      std::string name = am->mName.C_Str();
      if (name.empty()) name = "Shape " + std::to_string(a + 1);
      // Two shapes of one name in one mesh would merge into one morph; keep both.
      std::string unique = name;
      for (int k = 2; namesInPart.count(unique); ++k) unique = name + " " + std::to_string(k);
      namesInPart.insert(unique);
      auto it = std::find(out->shapeNames.begin(), out->shapeNames.end(), unique);
      if (it == out->shapeNames.end()) {
        out->shapeNames.push_back(unique);
        it = out->shapeNames.end() - 1;
      }
      shapeOfAnim[pi].push_back(static_cast<int>(it - out->shapeNames.begin()));
    }
  }
  out->shapePoints.assign(out->shapeNames.size(), {});

  std::unordered_map<std::string, Int32> pointByKey;
  for (size_t pi = 0; pi < parts.size(); ++pi) {
    const aiMesh* m = parts[pi];
    const unsigned nv = m->mNumVertices;

    // Joint influences of every vertex of this part.
    std::vector<std::vector<std::pair<Int32, Float32>>> vw(nv);
    for (unsigned b = 0; b < m->mNumBones; ++b) {
      const aiBone* bone = m->mBones[b];
      if (!bone) continue;
      NodeInfo* jn = graph.FindByName(bone->mName.C_Str());
      if (!jn || !jn->isJoint) {
        out->missingBones.insert(bone->mName.C_Str());
        continue;
      }
      auto it = std::find(out->jointSlots.begin(), out->jointSlots.end(), jn);
      if (it == out->jointSlots.end()) {
        out->jointSlots.push_back(jn);
        it = out->jointSlots.end() - 1;
      }
      const Int32 slot = static_cast<Int32>(it - out->jointSlots.begin());
      for (unsigned w = 0; w < bone->mNumWeights; ++w) {
        const aiVertexWeight& vwt = bone->mWeights[w];
        if (vwt.mVertexId >= nv || !(vwt.mWeight != 0) || !std::isfinite(vwt.mWeight)) continue;
        auto& list = vw[vwt.mVertexId];
        auto at = std::find_if(list.begin(), list.end(),
                               [slot](const auto& e) { return e.first == slot; });
        if (at == list.end())
          list.emplace_back(slot, vwt.mWeight);
        else
          at->second += vwt.mWeight;
      }
    }
    for (auto& list : vw) std::sort(list.begin(), list.end());

    // Weld.
    std::vector<Int32> pointOf(nv);
    for (unsigned v = 0; v < nv; ++v) {
      const Vector pos = ToVector(m->mVertices[v]);
      if (!IsFinite(pos)) {
        *error = "mesh \"" + std::string(m->mName.C_Str()) +
                 "\" holds a coordinate that is not a finite number";
        return false;
      }
      std::string key;
      key.reserve(12 + vw[v].size() * 8 + out->shapeNames.size() * 12);
      AppendBytes(key, &m->mVertices[v], sizeof(aiVector3D));
      const uint32_t count = static_cast<uint32_t>(vw[v].size());
      AppendBytes(key, &count, sizeof count);
      for (const auto& [slot, w] : vw[v]) {
        AppendBytes(key, &slot, sizeof slot);
        AppendBytes(key, &w, sizeof w);
      }
      std::vector<const aiVector3D*> shapePos(out->shapeNames.size(), &m->mVertices[v]);
      for (unsigned a = 0; a < m->mNumAnimMeshes; ++a) {
        const int s = shapeOfAnim[pi][a];
        const aiAnimMesh* am = m->mAnimMeshes[a];
        if (s >= 0 && am->mVertices) shapePos[static_cast<size_t>(s)] = &am->mVertices[v];
      }
      for (const aiVector3D* sp : shapePos) AppendBytes(key, sp, sizeof(aiVector3D));
      auto [it, fresh] = pointByKey.emplace(std::move(key), static_cast<Int32>(out->points.size()));
      if (fresh) {
        out->points.push_back(conv.c.Dir(pos));
        out->weights.push_back(vw[v]);
        for (size_t s = 0; s < shapePos.size(); ++s) {
          const Vector sp = ToVector(*shapePos[s]);
          if (!IsFinite(sp)) {
            *error = "shape \"" + out->shapeNames[s] +
                     "\" holds a coordinate that is not a finite number";
            return false;
          }
          out->shapePoints[s].push_back(conv.c.Dir(sp));
        }
      }
      pointOf[v] = it->second;
    }

    const aiVector3D* uvs = m->HasTextureCoords(0) ? m->mTextureCoords[0] : nullptr;
    const aiVector3D* normals = m->mNormals;
    if (uvs) out->anyUv = true;
    if (normals) out->anyNormal = true;
    const Mat normalMatrix = conv.c.NormalMatrix();
    auto corner = [&](unsigned v) {
      Corner c;
      c.point = pointOf[v];
      if (uvs) {
        // The file's V runs upwards from the bottom edge, the host's downwards from the top.
        c.uv = Vector32(uvs[v].x, 1.0f - uvs[v].y, 0.0f);
      }
      if (normals) {
        Vector n = normalMatrix.Dir(ToVector(normals[v]));
        if (IsFinite(n) && n.GetLength() > 0) {
          c.normal = n.GetNormalized();
          c.hasNormal = true;
        }
      }
      return c;
    };
    for (unsigned f = 0; f < m->mNumFaces; ++f) {
      const aiFace& face = m->mFaces[f];
      if (!IsPolygon(face)) {
        ++out->skippedElements;
        continue;
      }
      bool valid = true;
      for (unsigned k = 0; k < face.mNumIndices; ++k)
        if (face.mIndices[k] >= nv) valid = false;
      if (!valid) {
        *error = "mesh \"" + std::string(m->mName.C_Str()) + "\" has a face index out of range";
        return false;
      }
      if (face.mNumIndices <= 4) {
        Face out_face;
        out_face.material = m->mMaterialIndex;
        for (unsigned k = 0; k < face.mNumIndices; ++k)
          out_face.corners.push_back(corner(face.mIndices[k]));
        out->faces.push_back(std::move(out_face));
        continue;
      }
      std::vector<Vector> outline;
      for (unsigned k = 0; k < face.mNumIndices; ++k)
        outline.push_back(ToVector(m->mVertices[face.mIndices[k]]));
      for (const auto& t : Triangulate(outline)) {
        Face tri;
        tri.material = m->mMaterialIndex;
        for (size_t k : t) tri.corners.push_back(corner(face.mIndices[k]));
        out->faces.push_back(std::move(tri));
      }
    }
  }
  return true;
}

/// The polygon normal in the host's convention: (b - a) x (c - a), unit length.
Vector FaceNormal(const std::vector<Vector>& pts, const Face& f) {
  const Vector& a = pts[static_cast<size_t>(f.corners[0].point)];
  const Vector& b = pts[static_cast<size_t>(f.corners[1].point)];
  const Vector& c = pts[static_cast<size_t>(f.corners[2].point)];
  return Cross(b - a, c - a).GetNormalized();
}

/// Applies what the object's matrix could not hold (mirroring, shear) to the points and
/// normals, and reverses the corners when the whole conversion mirrors.
void FinishGeometry(BuiltMesh* mesh, const Mat& residual, bool reverse) {
  const bool identity = residual.MaxDifference(Mat()) < 1e-12;
  if (!identity) {
    for (Vector& p : mesh->points) p = residual.Point(p);
    for (auto& shape : mesh->shapePoints)
      for (Vector& p : shape) p = residual.Point(p);
    const Mat nm = residual.NormalMatrix();
    for (Face& f : mesh->faces)
      for (Corner& c : f.corners)
        if (c.hasNormal) c.normal = nm.Dir(c.normal).GetNormalized();
  }
  if (reverse) {
    for (Face& f : mesh->faces) std::reverse(f.corners.begin() + 1, f.corners.end());
  }
}

std::string UniqueName(const std::string& base, std::set<std::string>* used) {
  std::string name = base;
  for (int k = 2; used->count(name); ++k) name = base + "." + std::to_string(k);
  used->insert(name);
  return name;
}

/// A polygon object holding the built mesh (or only its points for a morph target).
PolygonObject* MakePolygonObject(const BuiltMesh& mesh, const std::vector<Vector>& points,
                                 const std::string& name) {
  const Int32 pcnt = static_cast<Int32>(points.size());
  const Int32 vcnt = static_cast<Int32>(mesh.faces.size());
  PolygonObject* op = PolygonObject::Alloc(pcnt, vcnt);
  if (!op) return nullptr;
  op->SetName(String(name));
  Vector* pw = op->GetPointW();
  for (Int32 i = 0; i < pcnt; ++i) pw[i] = points[static_cast<size_t>(i)];
  CPolygon* polys = op->GetPolygonW();
  for (Int32 i = 0; i < vcnt; ++i) {
    const Face& f = mesh.faces[static_cast<size_t>(i)];
    if (f.corners.size() == 3)
      polys[i] = CPolygon(f.corners[0].point, f.corners[1].point, f.corners[2].point);
    else
      polys[i] =
          CPolygon(f.corners[0].point, f.corners[1].point, f.corners[2].point, f.corners[3].point);
  }
  return op;
}

// ---------------------------------------------------------------------------------------------
// Materials and textures.

std::string Basename(const std::string& p) {
  std::string s = p;
  std::replace(s.begin(), s.end(), '\\', '/');
  const size_t slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

/// Raw texels (BGRA in the library's aiTexel) as an uncompressed 32-bit TGA file.
std::vector<unsigned char> EncodeTga(const aiTexture* t) {
  std::vector<unsigned char> out(18, 0);
  out[2] = 2;  // uncompressed true colour
  out[12] = static_cast<unsigned char>(t->mWidth & 0xff);
  out[13] = static_cast<unsigned char>((t->mWidth >> 8) & 0xff);
  out[14] = static_cast<unsigned char>(t->mHeight & 0xff);
  out[15] = static_cast<unsigned char>((t->mHeight >> 8) & 0xff);
  out[16] = 32;
  out[17] = 0x28;  // top-left origin, 8 alpha bits
  const size_t n = static_cast<size_t>(t->mWidth) * t->mHeight;
  out.reserve(18 + n * 4);
  for (size_t i = 0; i < n; ++i) {
    const aiTexel& px = t->pcData[i];
    out.push_back(px.b);
    out.push_back(px.g);
    out.push_back(px.r);
    out.push_back(px.a);
  }
  return out;
}

struct MaterialBuilder {
  const aiScene* scene;
  std::string modelDir;
  std::string modelStem;
  std::vector<ModelTexture>* textures;
  std::set<std::string> embeddedNames;

  /// The texture reference for the material's colour, registering it in `textures`.
  std::string TextureFor(const aiMaterial* mat) {
    aiString raw;
    if (mat->GetTexture(aiTextureType_DIFFUSE, 0, &raw) != AI_SUCCESS &&
        mat->GetTexture(aiTextureType_BASE_COLOR, 0, &raw) != AI_SUCCESS)
      return {};
    const std::string text = raw.C_Str();
    if (text.empty()) return {};
    if (const aiTexture* emb = scene->GetEmbeddedTexture(raw.C_Str())) {
      auto known = embeddedRef.find(emb);
      if (known != embeddedRef.end()) return known->second;
      ModelTexture t;
      std::string name = Basename(emb->mFilename.C_Str());
      const bool compressed = emb->mHeight == 0;
      std::string hint = compressed ? Lower(emb->achFormatHint) : "tga";
      if (hint == "jpeg") hint = "jpg";
      if (hint.empty() ||
          hint.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos)
        hint = "png";
      // Raw texels are written as TGA, so only the stem of their name survives.
      std::string stem = name.substr(0, name.rfind('.'));
      if (stem.empty() || stem[0] == '*' || (compressed && name.find('.') == std::string::npos) ||
          stem.find_first_of("<>:\"|?*") != std::string::npos)
        stem = modelStem + "_texture" + std::to_string(embeddedNames.size() + 1);
      name = stem + "." + hint;
      name = UniqueName(name, &embeddedNames);
      t.reference = name;
      if (compressed)
        t.data.assign(reinterpret_cast<const unsigned char*>(emb->pcData),
                      reinterpret_cast<const unsigned char*>(emb->pcData) + emb->mWidth);
      else
        t.data = EncodeTga(emb);
      embeddedRef[emb] = name;
      textures->push_back(std::move(t));
      return name;
    }
    // A file: as written, relative to the model, or by its bare name beside the model (files
    // made elsewhere often carry the author's absolute paths).
    std::string rel = text;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (rel.rfind("file://", 0) == 0) rel = rel.substr(7);
    std::vector<fs::path> candidates;
    fs::path asGiven(rel);
    if (asGiven.is_absolute()) candidates.push_back(asGiven);
    candidates.push_back(fs::path(modelDir) / asGiven);
    candidates.push_back(fs::path(modelDir) / Basename(rel));
    fs::path chosen = candidates.front();
    std::error_code ec;
    for (const fs::path& c : candidates) {
      if (fs::is_regular_file(c, ec)) {
        chosen = c;
        break;
      }
    }
    const std::string resolved = fs::absolute(chosen, ec).lexically_normal().string();
    for (const ModelTexture& t : *textures)
      if (t.sourcePath == resolved) return t.reference;
    ModelTexture t;
    t.reference = resolved;
    t.sourcePath = resolved;
    textures->push_back(t);
    return resolved;
  }

  std::unordered_map<const aiTexture*, std::string> embeddedRef;
};

BaseMaterial* MakeMaterial(const aiMaterial* mat, unsigned index, MaterialBuilder& tb) {
  BaseMaterial* m = BaseMaterial::Alloc(Mmaterial);
  if (!m) return nullptr;
  aiString name;
  std::string n = mat->Get(AI_MATKEY_NAME, name) == AI_SUCCESS ? name.C_Str() : "";
  if (n.empty()) n = "Material " + std::to_string(index + 1);
  m->SetName(String(n));

  aiColor4D diffuse(0.8f, 0.8f, 0.8f, 1.0f);
  if (aiGetMaterialColor(mat, AI_MATKEY_COLOR_DIFFUSE, &diffuse) != AI_SUCCESS)
    aiGetMaterialColor(mat, AI_MATKEY_BASE_COLOR, &diffuse);
  BaseContainer color;
  color.SetVector(BASECHANNEL_COLOR_EX, Vector(diffuse.r, diffuse.g, diffuse.b));
  color.SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0);
  const std::string texture = tb.TextureFor(mat);
  if (!texture.empty()) color.SetString(BASECHANNEL_TEXTURE, String(texture));
  m->SetChannelState(CHANNEL_COLOR, true);
  m->GetChannel(CHANNEL_COLOR)->SetData(color);

  float opacity = 1.0f;
  if (aiGetMaterialFloat(mat, AI_MATKEY_OPACITY, &opacity) != AI_SUCCESS) opacity = diffuse.a;
  if (!std::isfinite(opacity)) opacity = 1.0f;
  opacity = std::clamp(opacity, 0.0f, 1.0f);
  const bool transparent = opacity < 1.0f;
  m->SetChannelState(CHANNEL_TRANSPARENCY, transparent);
  if (transparent) {
    BaseContainer bc;
    bc.SetVector(BASECHANNEL_COLOR_EX, Vector(1, 1, 1));
    bc.SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0 - static_cast<double>(opacity));
    m->GetChannel(CHANNEL_TRANSPARENCY)->SetData(bc);
  }

  aiColor4D specular(0, 0, 0, 1);
  const bool hasSpecular =
      aiGetMaterialColor(mat, AI_MATKEY_COLOR_SPECULAR, &specular) == AI_SUCCESS &&
      (specular.r > 0 || specular.g > 0 || specular.b > 0);
  m->SetChannelState(CHANNEL_SPECULAR, hasSpecular);
  if (hasSpecular) {
    float strength = 1.0f, shininess = 0.0f;
    aiGetMaterialFloat(mat, AI_MATKEY_SHININESS_STRENGTH, &strength);
    aiGetMaterialFloat(mat, AI_MATKEY_SHININESS, &shininess);
    if (!std::isfinite(strength) || strength < 0) strength = 1.0f;
    if (!std::isfinite(shininess) || shininess < 0) shininess = 0.0f;
    BaseContainer bc;
    bc.SetVector(BASECHANNEL_COLOR_EX, Vector(std::min(1.0f, specular.r * strength),
                                              std::min(1.0f, specular.g * strength),
                                              std::min(1.0f, specular.b * strength)));
    bc.SetFloat(BASECHANNEL_BRIGHTNESS_EX, shininess);
    m->GetChannel(CHANNEL_SPECULAR)->SetData(bc);
  }

  aiColor4D emissive(0, 0, 0, 1);
  const bool luminous =
      aiGetMaterialColor(mat, AI_MATKEY_COLOR_EMISSIVE, &emissive) == AI_SUCCESS &&
      (emissive.r > 0 || emissive.g > 0 || emissive.b > 0);
  m->SetChannelState(CHANNEL_LUMINANCE, luminous);
  if (luminous) {
    BaseContainer bc;
    bc.SetVector(BASECHANNEL_COLOR_EX, Vector(emissive.r, emissive.g, emissive.b));
    bc.SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0);
    m->GetChannel(CHANNEL_LUMINANCE)->SetData(bc);
  }
  return m;
}

// ---------------------------------------------------------------------------------------------
// The document.

struct Builder {
  const aiScene* scene;
  BaseDocument* doc;
  Conversion conv;
  Graph graph;
  std::vector<BaseMaterial*> materials;
  ImportSummary* summary;
  std::string error;
  size_t skippedElements = 0;
  size_t skippedShapes = 0;
  std::set<std::string> missingBones;

  void MarkSkeleton() {
    for (NodeInfo& n : graph.nodes) n.isBone = false;
    for (unsigned i = 0; i < scene->mNumMeshes; ++i) {
      const aiMesh* m = scene->mMeshes[i];
      if (!m) continue;
      for (unsigned b = 0; b < m->mNumBones; ++b) {
        if (!m->mBones[b]) continue;
        if (NodeInfo* n = graph.FindByName(m->mBones[b]->mName.C_Str())) n->isBone = true;
      }
    }
    // Bottom-up: is there a bone below; top-down: is there a bone above.
    for (size_t i = graph.nodes.size(); i-- > 0;) {
      NodeInfo& n = graph.nodes[i];
      if (!n.parent) continue;
      NodeInfo* p = graph.Find(n.parent);
      if (p && (n.isBone || n.hasBoneBelow)) p->hasBoneBelow = true;
    }
    for (NodeInfo& n : graph.nodes) {
      NodeInfo* p = n.parent ? graph.Find(n.parent) : nullptr;
      n.underBone = p && (p->isBone || p->underBone);
      n.isJoint = n.isBone || (n.underBone && n.hasBoneBelow);
    }
  }

  /// The world matrix a mesh node is placed with (file coordinates). glTF places a skinned
  /// mesh by its joints alone and ignores the node's own transform.
  Mat MeshNodeWorld(const NodeInfo& n) const {
    if (conv.gltf) {
      for (unsigned i = 0; i < n.node->mNumMeshes; ++i) {
        const unsigned mi = n.node->mMeshes[i];
        if (mi < scene->mNumMeshes && scene->mMeshes[mi] && scene->mMeshes[mi]->mNumBones)
          return Mat();
      }
    }
    return n.world;
  }

  /// Joints stand in their bind pose: where the skin's inverse bind matrices put them.
  void ComputeBindPose() {
    for (NodeInfo& n : graph.nodes) {
      for (unsigned i = 0; i < n.node->mNumMeshes; ++i) {
        const unsigned mi = n.node->mMeshes[i];
        if (mi >= scene->mNumMeshes || !scene->mMeshes[mi]) continue;
        const aiMesh* m = scene->mMeshes[mi];
        const Mat meshWorld = MeshNodeWorld(n);
        for (unsigned b = 0; b < m->mNumBones; ++b) {
          const aiBone* bone = m->mBones[b];
          if (!bone) continue;
          NodeInfo* j = graph.FindByName(bone->mName.C_Str());
          if (!j || j->bindKnown) continue;
          bool ok = false;
          const Mat inv = Mat::From(bone->mOffsetMatrix).Inverse(&ok);
          const Mat bind = meshWorld * inv;
          if (ok && bind.IsFinite()) {
            j->bindWorld = bind;
            j->bindKnown = true;
          }
        }
      }
    }
    for (NodeInfo& n : graph.nodes) {
      if (!n.isJoint || n.bindKnown) continue;
      NodeInfo* p = n.parent ? graph.Find(n.parent) : nullptr;
      if (p && p->isJoint && p->bindKnown)
        n.bindWorld = p->bindWorld * Mat::From(n.node->mTransformation);
      else
        n.bindWorld = n.world;
      n.bindKnown = true;
    }
  }

  void MarkKept() {
    for (size_t i = graph.nodes.size(); i-- > 0;) {
      NodeInfo& n = graph.nodes[i];
      bool hasMesh = false;
      for (unsigned k = 0; k < n.node->mNumMeshes; ++k) {
        const unsigned mi = n.node->mMeshes[k];
        if (mi < scene->mNumMeshes && scene->mMeshes[mi] && MeshHasPolygons(scene->mMeshes[mi]))
          hasMesh = true;
      }
      if (hasMesh || n.isJoint) n.keep = true;
      if (n.keep && n.parent)
        if (NodeInfo* p = graph.Find(n.parent)) p->keep = true;
    }
  }

  /// Places `op` (already in the document) at the host matrix of `world` (file coordinates);
  /// answers what the object's transform could not hold, as a host-space residual.
  Mat Place(BaseObject* op, const Mat& world) {
    const Mat wanted = conv.Transform(world);
    bool ok = false;
    wanted.Inverse(&ok);
    if (!ok || !wanted.IsFinite() || wanted.Det() < 0) {
      // Mirrored or flat: keep the position on the object, the rest in the points.
      Mat move;
      if (wanted.IsFinite()) {
        for (int i = 0; i < 3; ++i) move.m[i][3] = wanted.m[i][3];
      }
      op->SetMg(move.ToHost());
    } else {
      op->SetMg(wanted.ToHost());
    }
    const Mat actual = Mat::FromHost(op->GetMg());
    return actual.Inverse() * wanted;
  }

  bool CreateObjects(size_t index, BaseObject* parentObject) {
    NodeInfo& n = graph.nodes[index];
    if (!n.keep) return true;
    const std::string name = n.node->mName.C_Str();
    BaseObject* container = parentObject;
    if (n.isJoint) {
      BaseObject* j = BaseObject::Alloc(Ojoint);
      if (!j) return Fail("out of memory");
      j->SetName(String(name.empty() ? "Joint" : name));
      doc->InsertObjectLast(j, parentObject);
      Place(j, n.bindWorld);
      n.joint = j;
      container = j;
      ++summary->joints;
    }
    BaseObject* meshObject = nullptr;
    if (!BuildNodeMesh(n, container, &meshObject)) return false;
    if (!n.isJoint) {
      if (meshObject) {
        // A morph object takes its polygon children as shapes, so children of a morphing
        // node stay beside it.
        if (meshObject->GetType() != ID_PMXMORPHOBJECT) container = meshObject;
      } else if (n.parent) {
        BaseObject* null = BaseObject::Alloc(Onull);
        if (!null) return Fail("out of memory");
        null->SetName(String(name.empty() ? "Null" : name));
        doc->InsertObjectLast(null, parentObject);
        Place(null, n.world);
        container = null;
      }
    }
    for (unsigned c = 0; c < n.node->mNumChildren; ++c) {
      auto it = graph.index.find(n.node->mChildren[c]);
      if (it == graph.index.end()) continue;
      if (!CreateObjects(it->second, container)) return false;
    }
    return true;
  }

  bool Fail(const std::string& why) {
    if (error.empty()) error = why;
    return false;
  }

  /// The node's mesh as a polygon object (or a morph object holding it and its shapes),
  /// inserted under `parent`.
  bool BuildNodeMesh(NodeInfo& n, BaseObject* parent, BaseObject** made) {
    *made = nullptr;
    if (n.node->mNumMeshes == 0) return true;
    BuiltMesh mesh;
    if (!BuildMesh(scene, n.node, graph, conv, &mesh, &error)) return false;
    skippedElements += mesh.skippedElements;
    skippedShapes += mesh.skippedShapes;
    missingBones.insert(mesh.missingBones.begin(), mesh.missingBones.end());
    if (mesh.faces.empty()) return true;

    std::string name = n.node->mName.C_Str();
    if (name.empty() && n.node->mNumMeshes > 0 && n.node->mMeshes[0] < scene->mNumMeshes)
      name = scene->mMeshes[n.node->mMeshes[0]]->mName.C_Str();
    if (name.empty()) name = "Object";

    // Points no skin moves follow the joint the mesh hangs from, as the hierarchy makes them
    // do in the host; PMX knows no hierarchy, only weights.
    NodeInfo* carrier = nullptr;
    for (NodeInfo* a = &n; a && !carrier; a = a->parent ? graph.Find(a->parent) : nullptr)
      if (a->isJoint) carrier = a;
    if (carrier) {
      bool unweighted = false;
      for (const auto& w : mesh.weights) unweighted |= w.empty();
      if (unweighted) {
        auto it = std::find(mesh.jointSlots.begin(), mesh.jointSlots.end(), carrier);
        if (it == mesh.jointSlots.end()) {
          mesh.jointSlots.push_back(carrier);
          it = mesh.jointSlots.end() - 1;
        }
        const Int32 slot = static_cast<Int32>(it - mesh.jointSlots.begin());
        for (auto& w : mesh.weights)
          if (w.empty()) w.emplace_back(slot, 1.0f);
      }
    }

    const Mat world = MeshNodeWorld(n);
    const bool morph = !mesh.shapeNames.empty();
    BaseObject* holder = nullptr;
    if (morph) {
      holder = BaseObject::Alloc(ID_PMXMORPHOBJECT);
      if (!holder) return Fail("out of memory");
      holder->SetName(String(name));
      doc->InsertObjectLast(holder, parent);
      Place(holder, world);
    }
    // Build the polygon object first with placeholder points to learn the residual.
    PolygonObject* base = MakePolygonObject(mesh, mesh.points, name);
    if (!base) return Fail("out of memory");
    doc->InsertObjectLast(base, morph ? holder : parent);
    Mat residual;
    if (morph) {
      base->SetMg(Mat::FromHost(holder->GetMg()).ToHost());
      residual = Mat::FromHost(base->GetMg()).Inverse() * conv.Transform(world);
    } else {
      residual = Place(base, world);
    }
    FinishGeometry(&mesh, residual, conv.reverses != (residual.Det() < 0));
    {
      Vector* pw = base->GetPointW();
      for (size_t i = 0; i < mesh.points.size(); ++i) pw[i] = mesh.points[i];
      CPolygon* polys = base->GetPolygonW();
      for (size_t i = 0; i < mesh.faces.size(); ++i) {
        const Face& f = mesh.faces[i];
        polys[i] = f.corners.size() == 3
                       ? CPolygon(f.corners[0].point, f.corners[1].point, f.corners[2].point)
                       : CPolygon(f.corners[0].point, f.corners[1].point, f.corners[2].point,
                                  f.corners[3].point);
      }
    }
    AddTags(base, mesh);
    ++summary->objects;
    summary->points += static_cast<int>(mesh.points.size());
    summary->polygons += static_cast<int>(mesh.faces.size());

    if (morph) {
      for (size_t s = 0; s < mesh.shapeNames.size(); ++s) {
        PolygonObject* target = MakePolygonObject(mesh, mesh.shapePoints[s], mesh.shapeNames[s]);
        if (!target) return Fail("out of memory");
        doc->InsertObjectLast(target, holder);
        target->SetMg(base->GetMg());
        ++summary->shapes;
      }
    }
    *made = morph ? holder : base;
    return true;
  }

  void AddTags(PolygonObject* op, const BuiltMesh& mesh) {
    const Int32 vcnt = static_cast<Int32>(mesh.faces.size());
    BaseTag* pred = nullptr;
    auto insert = [&](BaseTag* t) {
      op->InsertTag(t, pred);
      pred = t;
    };

    BaseTag* phong = BaseTag::Alloc(Tphong);
    phong->GetDataInstance()->SetBool(PHONGTAG_PHONG_ANGLELIMIT, true);
    phong->GetDataInstance()->SetFloat(PHONGTAG_PHONG_ANGLE, Rad(80.0));
    insert(phong);

    if (mesh.anyUv) {
      UVWTag* uvw = UVWTag::Alloc(vcnt);
      for (Int32 i = 0; i < vcnt; ++i) {
        const Face& f = mesh.faces[static_cast<size_t>(i)];
        auto at = [&](size_t k) {
          const Vector32& u = f.corners[std::min(k, f.corners.size() - 1)].uv;
          return Vector(u.x, u.y, u.z);
        };
        uvw->SetSlow(i, UVWStruct(at(0), at(1), at(2), at(3)));
      }
      insert(uvw);
    }

    if (mesh.anyNormal) {
      VariableTag* nt = VariableTag::Alloc(Tnormal, vcnt);
      Vector32* out = nt->Write<Vector32>();
      for (Int32 i = 0; i < vcnt; ++i) {
        const Face& f = mesh.faces[static_cast<size_t>(i)];
        const Vector flat = FaceNormal(mesh.points, f);
        for (size_t k = 0; k < 4; ++k) {
          const Corner& c = f.corners[std::min(k, f.corners.size() - 1)];
          out[static_cast<size_t>(i) * 4 + k] = Vector32(c.hasNormal ? c.normal : flat);
        }
      }
      insert(nt);
    }

    // One selection and one texture tag per material the object uses, in order of first use.
    std::vector<unsigned> used;
    for (const Face& f : mesh.faces)
      if (std::find(used.begin(), used.end(), f.material) == used.end()) used.push_back(f.material);
    std::set<std::string> selectionNames;
    std::vector<std::pair<TextureTag*, SelectionTag*>> tags;
    for (unsigned mi : used) {
      BaseMaterial* mat = mi < materials.size() ? materials[mi] : nullptr;
      if (!mat) continue;
      auto* sel = static_cast<SelectionTag*>(BaseTag::Alloc(Tpolygonselection));
      const std::string selName = UniqueName(mat->GetName().GetUtf8(), &selectionNames);
      sel->SetName(String(selName));
      BaseSelect* bs = sel->GetBaseSelect();
      for (Int32 i = 0; i < vcnt; ++i)
        if (mesh.faces[static_cast<size_t>(i)].material == mi) bs->Select(i);
      auto* tex = static_cast<TextureTag*>(BaseTag::Alloc(Ttexture));
      tex->SetMaterial(mat);
      tex->GetDataInstance()->SetString(TEXTURETAG_RESTRICTION, String(selName));
      tex->SetName(mat->GetName());
      tags.emplace_back(tex, sel);
    }
    for (auto& [tex, sel] : tags) insert(tex);
    for (auto& [tex, sel] : tags) insert(sel);

    if (!mesh.jointSlots.empty()) pendingWeights.push_back({op, mesh.jointSlots, mesh.weights});
  }

  // Joints may come after the meshes they deform in the file's node order, so weight tags
  // are made once every joint exists.
  struct PendingWeights {
    PolygonObject* op;
    std::vector<NodeInfo*> slots;
    std::vector<std::vector<std::pair<Int32, Float32>>> weights;
  };
  std::vector<PendingWeights> pendingWeights;

  void AddWeightTags() {
    for (const PendingWeights& pw : pendingWeights) {
      auto* wt = static_cast<CAWeightTag*>(BaseTag::Alloc(Tweights));
      std::vector<Int32> index;
      for (NodeInfo* j : pw.slots) index.push_back(wt->AddJoint(j->joint));
      wt->ReservePoints(static_cast<Int32>(pw.weights.size()));
      for (size_t p = 0; p < pw.weights.size(); ++p)
        for (const auto& [slot, w] : pw.weights[p])
          wt->SetWeight(index[static_cast<size_t>(slot)], static_cast<Int32>(p), w);
      pw.op->InsertTagLast(wt);
    }
  }
};

bool ReadableFile(const std::string& path, std::string* reason) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    *reason = "no such file";
    return false;
  }
  if (fs::is_directory(st)) {
    *reason = "it is a folder, not a file";
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *reason = std::strerror(errno);
    for (char& c : *reason) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return false;
  }
  char c;
  const ssize_t n = read(fd, &c, 1);
  const int readErrno = errno;
  close(fd);
  if (n < 0) {
    *reason = std::string("cannot be read: ") + std::strerror(readErrno);
    return false;
  }
  if (n == 0) {
    *reason = "the file is empty";
    return false;
  }
  return true;
}

}  // namespace

// -------------------------------------------------------------------------------------------------

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
  if (!ProbeInChild(path, options.timeoutSeconds, &reason)) return fail(reason);

  Assimp::Importer importer;
  Configure(importer);
  const aiScene* scene = importer.ReadFile(path, kReadFlags);
  if (!scene) return fail(Trim(importer.GetErrorString()));
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

  Builder b;
  b.scene = scene;
  b.doc = doc.get();
  b.conv = MakeConversion(scene, path);
  b.summary = &sum;
  sum.unitScale = b.conv.unitScale;
  CollectNodes(b.graph, scene->mRootNode, nullptr, Mat(), 0);

  MaterialBuilder tb{scene, abs.parent_path().string(), abs.stem().string(), &sum.textures, {}, {}};
  BaseMaterial* last = nullptr;
  for (unsigned i = 0; i < scene->mNumMaterials; ++i) {
    BaseMaterial* m = scene->mMaterials[i] ? MakeMaterial(scene->mMaterials[i], i, tb) : nullptr;
    b.materials.push_back(m);
    if (!m) continue;
    doc->InsertMaterial(m, last);
    last = m;
    ++sum.materials;
  }

  b.MarkSkeleton();
  b.ComputeBindPose();
  b.MarkKept();
  if (!b.CreateObjects(0, nullptr)) return fail(b.error);
  b.AddWeightTags();
  if (sum.objects == 0) return fail("the file holds no polygon mesh");

  if (b.skippedElements > 0)
    sum.warnings.push_back(std::to_string(b.skippedElements) +
                           " point or line elements were left out (PMX holds polygons only)");
  if (!b.missingBones.empty()) {
    std::string list;
    for (const std::string& n : b.missingBones) list += (list.empty() ? "" : ", ") + n;
    sum.warnings.push_back("the skin names bones that the file does not hold (" + list +
                           "); their weights were left out");
  }
  if (b.skippedShapes > 0)
    sum.warnings.push_back(std::to_string(b.skippedShapes) +
                           " shapes were left out: their point count differs from their mesh");
  return doc;
}

std::string FormatImportSummary(const ImportSummary& s) {
  std::ostringstream o;
  o << "Imported " << fs::path(s.file).filename().string() << ": " << s.objects
    << (s.objects == 1 ? " object, " : " objects, ") << s.points
    << (s.points == 1 ? " point, " : " points, ") << s.polygons
    << (s.polygons == 1 ? " polygon, " : " polygons, ") << s.materials
    << (s.materials == 1 ? " material, " : " materials, ") << s.joints
    << (s.joints == 1 ? " joint, " : " joints, ") << s.shapes
    << (s.shapes == 1 ? " shape" : " shapes");
  return o.str();
}

std::unique_ptr<BaseDocument> LoadInputDocument(const std::string& path, ImportSummary* summary,
                                                std::string* error, bool* isModel) {
  const bool model = !IsSceneFilePath(path);
  if (isModel) *isModel = model;
  if (!model) return LoadSceneFile(path, error);
  return ImportModelFile(path, summary, error);
}

namespace {

std::string WithBackslashes(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

bool WriteWholeFile(const fs::path& path, const std::vector<unsigned char>& data,
                    std::string* error) {
  const fs::path tmp = path.string() + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = "cannot write " + path.string() + ": " + std::strerror(errno);
      return false;
    }
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
      *error = "cannot write " + path.string() + ": " + std::strerror(errno);
      std::error_code ec;
      fs::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    *error = "cannot write " + path.string() + ": " + ec.message();
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

}  // namespace

bool PlaceTextures(BaseDocument* doc, const std::string& inputPath,
                   const std::vector<ModelTexture>& textures, const std::string& outputPath,
                   const TexturePlacement& placement, std::vector<std::string>* messages,
                   std::string* error) {
  std::error_code ec;
  fs::path outDir = fs::absolute(fs::path(outputPath), ec).parent_path();
  if (placement.textureFolder && placement.copy) {
    std::string folder = *placement.textureFolder;
    std::replace(folder.begin(), folder.end(), '\\', '/');
    outDir = (outDir / folder).lexically_normal();
    fs::create_directories(outDir, ec);
    if (ec) {
      *error = "cannot make the texture folder " + outDir.string() + ": " + ec.message();
      return false;
    }
  }
  const fs::path inDir = fs::absolute(fs::path(inputPath), ec).parent_path();
  std::map<std::string, std::string> placed;     // reference -> text for the PMX
  std::map<std::string, std::string> claimedBy;  // name beside the output -> its source
  std::set<std::string> told;
  auto tell = [&](const std::string& line) {
    if (messages && told.insert(line).second) messages->push_back(line);
  };
  auto claim = [&](const std::string& wanted, const std::string& source) {
    const fs::path w(wanted);
    std::string name = wanted;
    for (int k = 2;; ++k) {
      auto it = claimedBy.find(name);
      if (it == claimedBy.end() || it->second == source) break;
      name = w.stem().string() + "_" + std::to_string(k) + w.extension().string();
    }
    claimedBy[name] = source;
    return name;
  };

  for (BaseMaterial* m = doc->GetFirstMaterial(); m; m = m->GetNext()) {
    BaseContainer* data = m->GetChannel(CHANNEL_COLOR)->GetDataInstance();
    const std::string ref = data->GetString(BASECHANNEL_TEXTURE).GetUtf8();
    if (ref.empty()) continue;
    auto done = placed.find(ref);
    if (done != placed.end()) {
      data->SetString(BASECHANNEL_TEXTURE, String(done->second));
      continue;
    }
    const ModelTexture* embedded = nullptr;
    for (const ModelTexture& t : textures)
      if (t.reference == ref && t.sourcePath.empty()) embedded = &t;
    std::string text = ref;
    if (embedded) {
      if (placement.copy) {
        text = claim(Basename(ref), "embedded:" + ref);
        if (!WriteWholeFile(outDir / text, embedded->data, error)) return false;
        tell("Wrote embedded texture " + (outDir / text).string());
      } else {
        // A PMX that names a missing file loses the whole material in some readers.
        tell("Texture " + ref +
             " is embedded in the model file; the PMX names no texture for it unless "
             "--copy-textures writes it beside the PMX");
        text.clear();
      }
    } else {
      std::string rel = ref;
      std::replace(rel.begin(), rel.end(), '\\', '/');
      fs::path source = fs::path(rel).is_absolute() ? fs::path(rel) : inDir / rel;
      source = source.lexically_normal();
      if (!fs::is_regular_file(source, ec)) {
        tell("Texture not found: " + source.string() + "; the material is exported without it");
        text.clear();
      } else if (placement.copy) {
        text = claim(source.filename().string(), source.string());
        const fs::path dest = outDir / text;
        if (!(fs::exists(dest, ec) && fs::equivalent(source, dest, ec))) {
          fs::copy_file(source, dest, fs::copy_options::overwrite_existing, ec);
          if (ec) {
            *error = "cannot copy texture " + source.string() + " to " + dest.string() + ": " +
                     ec.message();
            return false;
          }
          tell("Copied texture " + source.string() + " to " + dest.string());
        }
      } else if (placement.textureFolder) {
        text = source.filename().string();
      } else {
        const fs::path relative =
            fs::weakly_canonical(source, ec).lexically_relative(fs::weakly_canonical(outDir, ec));
        text = relative.empty() ? source.string() : WithBackslashes(relative.string());
      }
    }
    placed[ref] = text;
    data->SetString(BASECHANNEL_TEXTURE, String(text));
  }
  return true;
}

}  // namespace pmxapp
