#include <cstring>
#include <map>

#include "TPmxBoneOption.h"
#include "c4d_symbols.h"
#include "model_import_internal.h"

namespace pmxapp::modelimport {

namespace {

/// The bone MMD models move as a whole by.
constexpr const char* kCentreName = "\u30BB\u30F3\u30BF\u30FC";

struct Builder {
  const aiScene* scene;
  BaseDocument* doc;
  ImportOptions options;
  Conversion conv;
  Graph graph;
  std::vector<BaseMaterial*> materials;
  ImportSummary* summary;
  std::string error;
  BaseObject* centre = nullptr;
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
      const std::string jointName = name.empty() ? "Joint" : name;
      j->SetName(String(jointName));
      // Root joints hang from the one centre joint, when there is one.
      NodeInfo* above = nullptr;
      for (const aiNode* a = n.parent; a && !above;
           a = graph.Find(a) ? graph.Find(a)->parent : nullptr)
        if (NodeInfo* ai = graph.Find(a); ai && ai->isJoint) above = ai;
      doc->InsertObjectLast(j, centre && !above ? centre : parentObject);
      Place(j, n.bindWorld);
      if (options.forPmx && !AddBoneNames(j, jointName, jointName, false)) return false;
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

  /// The PMX bone names (Japanese and English) the joint keeps: its own name in both.
  bool AddBoneNames(BaseObject* joint, const std::string& name, const std::string& english,
                    bool movable) {
    BaseTag* tag = BaseTag::Alloc(ID_PMX_BONE_OPTION_TAG);
    if (!tag) return Fail("out of memory");
    BaseContainer* bc = tag->GetDataInstance();
    bc->SetString(PMX_BONE_NAME, String(name));
    bc->SetString(PMX_BONE_NAME_ENGLISH, String(english));
    if (movable) bc->SetInt32(PMX_BONE_MOVABLE, 1);
    joint->InsertTagLast(tag);
    return true;
  }

  /// With several root joints, one joint above them all (at the origin, movable, as MMD's
  /// centre bone), so that the model moves as one.
  bool AddCentre() {
    std::vector<const NodeInfo*> roots;
    for (const NodeInfo& n : graph.nodes) {
      if (!n.isJoint || !n.keep) continue;
      bool rooted = true;
      for (const aiNode* a = n.parent; a && rooted;
           a = graph.Find(a) ? graph.Find(a)->parent : nullptr)
        if (const NodeInfo* ai = graph.Find(a); ai && ai->isJoint) rooted = false;
      if (rooted) roots.push_back(&n);
    }
    if (roots.size() < 2) return true;
    centre = BaseObject::Alloc(Ojoint);
    if (!centre) return Fail("out of memory");
    centre->SetName(String(kCentreName));
    doc->InsertObject(centre, nullptr, nullptr);
    ++summary->joints;
    return AddBoneNames(centre, kCentreName, "Center", true);
  }

  /// The node's mesh, welded, with the weights of the joint it hangs from for points no skin
  /// moves. Counts what was left out.
  bool PrepareMesh(NodeInfo& n, BuiltMesh* mesh) {
    if (!BuildMesh(scene, n.node, graph, conv, mesh, &error)) return false;
    skippedElements += mesh->skippedElements;
    skippedShapes += mesh->skippedShapes;
    missingBones.insert(mesh->missingBones.begin(), mesh->missingBones.end());
    if (mesh->faces.empty()) return true;
    // Points no skin moves follow the joint the mesh hangs from, as the hierarchy makes them
    // do in the host; PMX knows no hierarchy, only weights.
    NodeInfo* carrier = nullptr;
    for (NodeInfo* a = &n; a && !carrier; a = a->parent ? graph.Find(a->parent) : nullptr)
      if (a->isJoint) carrier = a;
    if (carrier) {
      bool unweighted = false;
      for (const auto& w : mesh->weights) unweighted |= w.empty();
      if (unweighted) {
        auto it = std::find(mesh->jointSlots.begin(), mesh->jointSlots.end(), carrier);
        if (it == mesh->jointSlots.end()) {
          mesh->jointSlots.push_back(carrier);
          it = mesh->jointSlots.end() - 1;
        }
        const Int32 slot = static_cast<Int32>(it - mesh->jointSlots.begin());
        for (auto& w : mesh->weights)
          if (w.empty()) w.emplace_back(slot, 1.0f);
      }
    }
    return true;
  }

  std::string MeshName(const NodeInfo& n) const {
    std::string name = n.node->mName.C_Str();
    if (name.empty() && n.node->mNumMeshes > 0 && n.node->mMeshes[0] < scene->mNumMeshes)
      name = scene->mMeshes[n.node->mMeshes[0]]->mName.C_Str();
    return name.empty() ? "Object" : name;
  }

  /// Keeps the four strongest influences of every point, normalised, and tells once per
  /// object how many points needed it.
  void LimitInfluences(BuiltMesh* mesh, const std::string& name) {
    if (!options.limitInfluences || mesh->jointSlots.empty()) return;
    size_t many = 0, unnormal = 0, most = 0;
    for (auto& list : mesh->weights) {
      if (list.empty()) continue;
      most = std::max(most, list.size());
      if (list.size() > 4) {
        ++many;
        std::stable_sort(list.begin(), list.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        list.resize(4);
      }
      double sum = 0;
      for (const auto& e : list) sum += e.second;
      if (std::abs(sum - 1.0) > 1e-3) ++unnormal;
      if (sum > 1e-10)
        for (auto& e : list) e.second = static_cast<Float32>(e.second / sum);
    }
    if (many == 0 && unnormal == 0) return;
    std::string line = "object \"" + name + "\": ";
    if (many > 0)
      line += std::to_string(many) + (many == 1 ? " point had" : " points had") +
              " more than four joint influences (up to " + std::to_string(most) +
              "); the four strongest are kept";
    if (many > 0 && unnormal > 0) line += "; ";
    if (unnormal > 0)
      line += std::to_string(unnormal) + (unnormal == 1 ? " point's" : " points'") +
              " weights did not sum to 1";
    summary->warnings.push_back(line + "; weights normalised");
  }

  /// Nodes whose meshes become one object for a PMX: plain meshes (no shapes) that share a
  /// material, so that each material is one PMX material. Filled by GroupMeshes.
  std::unordered_map<const aiNode*, std::vector<size_t>> groupOf;  // leader -> members
  std::set<const aiNode*> merged;                                  // members but the leader

  void GroupMeshes() {
    if (!options.forPmx) return;
    std::vector<size_t> parent(graph.nodes.size());
    for (size_t i = 0; i < parent.size(); ++i) parent[i] = i;
    auto find = [&](size_t i) {
      while (parent[i] != i) i = parent[i] = parent[parent[i]];
      return i;
    };
    std::map<std::pair<BaseMaterial*, bool>, size_t> firstUser;
    std::vector<bool> eligible(graph.nodes.size(), false);
    for (size_t i = 0; i < graph.nodes.size(); ++i) {
      const aiNode* node = graph.nodes[i].node;
      bool normals = false, shapes = false, polygons = false;
      std::vector<BaseMaterial*> used;
      for (unsigned k = 0; k < node->mNumMeshes; ++k) {
        const unsigned mi = node->mMeshes[k];
        if (mi >= scene->mNumMeshes || !scene->mMeshes[mi] || !scene->mMeshes[mi]->mVertices)
          continue;
        const aiMesh* m = scene->mMeshes[mi];
        if (!MeshHasPolygons(m)) continue;
        polygons = true;
        normals |= m->mNormals != nullptr;
        shapes |= m->mNumAnimMeshes > 0;
        if (m->mMaterialIndex < materials.size() && materials[m->mMaterialIndex])
          used.push_back(materials[m->mMaterialIndex]);
      }
      if (!polygons || shapes || used.empty()) continue;
      eligible[i] = true;
      // Meshes with and without normals of their own are shaded differently; they stay apart.
      for (BaseMaterial* mat : used) {
        auto [it, fresh] = firstUser.emplace(std::make_pair(mat, normals), i);
        if (!fresh) parent[find(i)] = find(it->second);
      }
    }
    std::unordered_map<size_t, size_t> leaderOfRoot;
    for (size_t i = 0; i < graph.nodes.size(); ++i) {
      if (!eligible[i]) continue;
      const size_t root = find(i);
      auto [it, fresh] = leaderOfRoot.emplace(root, i);
      groupOf[graph.nodes[it->second].node].push_back(i);
      if (!fresh) merged.insert(graph.nodes[i].node);
    }
    for (auto it = groupOf.begin(); it != groupOf.end();)
      it = it->second.size() < 2 ? groupOf.erase(it) : std::next(it);
  }

  /// The meshes of a group in one object placed at the origin: each part's points in world
  /// space, its weights on the group's joints.
  bool BuildGroupMesh(const std::vector<size_t>& members, BaseObject* parent, BaseObject** made) {
    BuiltMesh all;
    for (size_t idx : members) {
      NodeInfo& m = graph.nodes[idx];
      BuiltMesh part;
      if (!PrepareMesh(m, &part)) return false;
      if (part.faces.empty()) continue;
      const Mat residual = conv.Transform(MeshNodeWorld(m));
      FinishGeometry(&part, residual, conv.reverses != (residual.Det() < 0));
      const Int32 offset = static_cast<Int32>(all.points.size());
      all.points.insert(all.points.end(), part.points.begin(), part.points.end());
      for (Face f : part.faces) {
        for (Corner& c : f.corners) c.point += offset;
        all.faces.push_back(std::move(f));
      }
      std::vector<Int32> slotOf;
      for (NodeInfo* j : part.jointSlots) {
        auto it = std::find(all.jointSlots.begin(), all.jointSlots.end(), j);
        if (it == all.jointSlots.end()) {
          all.jointSlots.push_back(j);
          it = all.jointSlots.end() - 1;
        }
        slotOf.push_back(static_cast<Int32>(it - all.jointSlots.begin()));
      }
      for (auto& list : part.weights) {
        for (auto& e : list) e.first = slotOf[static_cast<size_t>(e.first)];
        all.weights.push_back(std::move(list));
      }
      all.anyUv |= part.anyUv;
      all.anyNormal |= part.anyNormal;
    }
    if (all.faces.empty()) return true;
    const std::string name = MeshName(graph.nodes[members.front()]);
    LimitInfluences(&all, name);
    PolygonObject* op = MakePolygonObject(all, all.points, name);
    if (!op) return Fail("out of memory");
    doc->InsertObjectLast(op, parent);
    op->SetMg(Matrix());
    AddTags(op, all);
    ++summary->objects;
    summary->points += static_cast<int>(all.points.size());
    summary->polygons += static_cast<int>(all.faces.size());
    *made = op;
    return true;
  }

  /// The node's mesh as a polygon object (or a morph object holding it and its shapes),
  /// inserted under `parent`.
  bool BuildNodeMesh(NodeInfo& n, BaseObject* parent, BaseObject** made) {
    *made = nullptr;
    if (n.node->mNumMeshes == 0 || merged.count(n.node)) return true;
    if (auto group = groupOf.find(n.node); group != groupOf.end())
      return BuildGroupMesh(group->second, parent, made);
    BuiltMesh mesh;
    if (!PrepareMesh(n, &mesh)) return false;
    if (mesh.faces.empty()) return true;
    const std::string name = MeshName(n);
    LimitInfluences(&mesh, name);

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

    // One selection and one texture tag per material the object uses, in order of first use
    // (copies of one material in the file are one document material).
    auto materialOf = [&](const Face& f) -> BaseMaterial* {
      return f.material < materials.size() ? materials[f.material] : nullptr;
    };
    std::vector<BaseMaterial*> used;
    for (const Face& f : mesh.faces)
      if (BaseMaterial* mat = materialOf(f);
          mat && std::find(used.begin(), used.end(), mat) == used.end())
        used.push_back(mat);
    std::set<std::string> selectionNames;
    std::vector<std::pair<TextureTag*, SelectionTag*>> tags;
    for (BaseMaterial* mat : used) {
      auto* sel = static_cast<SelectionTag*>(BaseTag::Alloc(Tpolygonselection));
      const std::string selName = UniqueName(mat->GetName().GetUtf8(), &selectionNames);
      sel->SetName(String(selName));
      BaseSelect* bs = sel->GetBaseSelect();
      for (Int32 i = 0; i < vcnt; ++i)
        if (materialOf(mesh.faces[static_cast<size_t>(i)]) == mat) bs->Select(i);
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

bool AddObjects(const aiScene* scene, const ImportOptions& options,
                const std::vector<BaseMaterial*>& materials, BaseDocument* doc,
                ImportSummary* summary, std::string* error) {
  Builder b;
  b.scene = scene;
  b.doc = doc;
  b.options = options;
  b.conv = MakeConversion(scene, options);
  summary->format = b.conv.format.label;
  summary->up = b.conv.up;
  summary->forward = b.conv.forward;
  b.summary = summary;
  b.materials = materials;
  summary->unitScale = b.conv.unitScale;
  CollectNodes(b.graph, scene->mRootNode, nullptr, Mat(), 0);

  b.MarkSkeleton();
  b.ComputeBindPose();
  b.MarkKept();
  b.GroupMeshes();
  if ((options.forPmx && !b.AddCentre()) || !b.CreateObjects(0, nullptr)) {
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
