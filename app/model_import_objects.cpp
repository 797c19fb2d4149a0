#include <cstring>

#include "c4d_symbols.h"
#include "model_import_internal.h"

namespace pmxapp::modelimport {

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

bool AddObjects(const aiScene* scene, const std::string& path,
                const std::vector<BaseMaterial*>& materials, BaseDocument* doc,
                ImportSummary* summary, std::string* error) {
  Builder b;
  b.scene = scene;
  b.doc = doc;
  b.conv = MakeConversion(scene, path);
  b.summary = summary;
  b.materials = materials;
  summary->unitScale = b.conv.unitScale;
  CollectNodes(b.graph, scene->mRootNode, nullptr, Mat(), 0);

  b.MarkSkeleton();
  b.ComputeBindPose();
  b.MarkKept();
  if (!b.CreateObjects(0, nullptr)) {
    *error = b.error;
    return false;
  }
  b.AddWeightTags();
  if (summary->objects == 0) {
    *error = "the file holds no polygon mesh";
    return false;
  }

  if (b.skippedElements > 0)
    summary->warnings.push_back(std::to_string(b.skippedElements) +
                                " point or line elements were left out (PMX holds polygons only)");
  if (!b.missingBones.empty()) {
    std::string list;
    for (const std::string& n : b.missingBones) list += (list.empty() ? "" : ", ") + n;
    summary->warnings.push_back("the skin names bones that the file does not hold (" + list +
                                "); their weights were left out");
  }
  if (b.skippedShapes > 0)
    summary->warnings.push_back(std::to_string(b.skippedShapes) +
                                " shapes were left out: their point count differs from their mesh");
  return true;
}

}  // namespace pmxapp::modelimport
