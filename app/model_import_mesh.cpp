#include <cstdint>
#include <string>

#include "model_import_internal.h"

namespace pmxapp::modelimport {

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

bool IsPolygon(const aiFace& f) { return f.mNumIndices >= 3 && f.mIndices; }

bool MeshHasPolygons(const aiMesh* m) {
  for (unsigned i = 0; i < m->mNumFaces; ++i)
    if (IsPolygon(m->mFaces[i])) return true;
  return false;
}

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

namespace {

void AppendBytes(std::string& key, const void* p, size_t n) {
  key.append(static_cast<const char*>(p), n);
}

}  // namespace

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

Vector FaceNormal(const std::vector<Vector>& pts, const Face& f) {
  const Vector& a = pts[static_cast<size_t>(f.corners[0].point)];
  const Vector& b = pts[static_cast<size_t>(f.corners[1].point)];
  const Vector& c = pts[static_cast<size_t>(f.corners[2].point)];
  return Cross(b - a, c - a).GetNormalized();
}

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

}  // namespace pmxapp::modelimport
