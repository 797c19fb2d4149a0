// Building host documents for export tests through the host API, and exporting them the way
// the host does on File > Export.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "pmx/pmxsaver.h"
#include "support/plugin_env.h"

namespace pmxtest {

/// A document that frees itself.
struct DocPtr {
  BaseDocument* doc = BaseDocument::Alloc();
  DocPtr() = default;
  DocPtr(const DocPtr&) = delete;
  DocPtr& operator=(const DocPtr&) = delete;
  ~DocPtr() { BaseDocument::Free(doc); }
  BaseDocument* operator->() const { return doc; }
  BaseDocument* get() const { return doc; }
};

inline std::string Utf8(const String& s) { return s.GetUtf8(); }
inline std::string Utf8(const std::u16string& s) { return String(s).GetUtf8(); }

/// A polygon object with the given points and polygons, appended to `parent` (top level when
/// null) in `doc` when a document is given.
inline PolygonObject* AddMesh(BaseDocument* doc, const char* name,
                              const std::vector<Vector>& points,
                              const std::vector<CPolygon>& polygons, BaseObject* parent = nullptr) {
  PolygonObject* op =
      PolygonObject::Alloc(static_cast<Int32>(points.size()), static_cast<Int32>(polygons.size()));
  op->SetName(String(name));
  Vector* p = op->GetPointW();
  for (size_t i = 0; i < points.size(); ++i) p[i] = points[i];
  CPolygon* q = op->GetPolygonW();
  for (size_t i = 0; i < polygons.size(); ++i) q[i] = polygons[i];
  if (doc) doc->InsertObjectLast(op, parent);
  return op;
}

/// A unit quad (0,0,0) (1,0,0) (1,1,0) (0,1,0) as one polygon.
inline PolygonObject* AddQuad(BaseDocument* doc, const char* name, BaseObject* parent = nullptr) {
  return AddMesh(doc, name, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {CPolygon(0, 1, 2, 3)},
                 parent);
}

/// A strip of `n` unit quads along x: points (i, 0, 0) and (i, 1, 0).
inline PolygonObject* AddStrip(BaseDocument* doc, const char* name, Int32 n,
                               BaseObject* parent = nullptr) {
  std::vector<Vector> pts;
  std::vector<CPolygon> polys;
  for (Int32 i = 0; i <= n; ++i) {
    pts.push_back(Vector(i, 0, 0));
    pts.push_back(Vector(i, 1, 0));
  }
  for (Int32 i = 0; i < n; ++i) polys.push_back(CPolygon(2 * i, 2 * i + 2, 2 * i + 3, 2 * i + 1));
  return AddMesh(doc, name, pts, polys, parent);
}

/// Four UVWs per polygon, stored as the object's last tag.
inline UVWTag* AddUvw(PolygonObject* op, const std::vector<std::array<Vector, 4>>& uvw) {
  UVWTag* tag = UVWTag::Alloc(static_cast<Int32>(uvw.size()));
  for (size_t i = 0; i < uvw.size(); ++i)
    tag->SetSlow(static_cast<Int32>(i), UVWStruct(uvw[i][0], uvw[i][1], uvw[i][2], uvw[i][3]));
  op->InsertTagLast(tag);
  return tag;
}

/// Explicit corner normals (four per polygon) that the host hands out as phong normals.
inline VariableTag* AddNormals(PolygonObject* op, const std::vector<std::array<Vector32, 4>>& n) {
  VariableTag* tag = VariableTag::Alloc(Tnormal, static_cast<Int32>(n.size()));
  auto* d = tag->Write<Vector32>();
  for (size_t i = 0; i < n.size(); ++i)
    for (size_t k = 0; k < 4; ++k) d[i * 4 + k] = n[i][k];
  op->InsertTagLast(tag);
  return tag;
}

inline BaseTag* AddPhong(PolygonObject* op, Float angleDegrees = 80.0) {
  BaseTag* tag = BaseTag::Alloc(Tphong);
  tag->GetDataInstance()->SetBool(PHONGTAG_PHONG_ANGLELIMIT, true);
  tag->GetDataInstance()->SetFloat(PHONGTAG_PHONG_ANGLE, Rad(angleDegrees));
  op->InsertTagLast(tag);
  return tag;
}

inline TextureTag* AddTexture(BaseObject* op, BaseMaterial* mat, const char* restriction = "") {
  TextureTag* tag = TextureTag::Alloc();
  tag->SetMaterial(mat);
  tag->GetDataInstance()->SetString(TEXTURETAG_RESTRICTION, String(restriction));
  op->InsertTagLast(tag);
  return tag;
}

inline SelectionTag* AddPolygonSelection(BaseObject* op, const char* name,
                                         const std::vector<Int32>& polygons) {
  SelectionTag* tag = SelectionTag::Alloc(Tpolygonselection);
  tag->SetName(String(name));
  for (Int32 i : polygons) tag->GetBaseSelect()->Select(i);
  op->InsertTagLast(tag);
  return tag;
}

/// A weight tag: weights[j][p] is joint j's weight at point p.
inline CAWeightTag* AddWeights(PolygonObject* op, const std::vector<BaseObject*>& joints,
                               const std::vector<std::vector<Float>>& weights) {
  CAWeightTag* tag = CAWeightTag::Alloc();
  for (BaseObject* j : joints) tag->AddJoint(j);
  tag->ReservePoints(op->GetPointCount());
  for (size_t j = 0; j < weights.size(); ++j)
    for (size_t p = 0; p < weights[j].size(); ++p)
      tag->SetWeight(static_cast<Int32>(j), static_cast<Int32>(p), weights[j][p]);
  op->InsertTagLast(tag);
  return tag;
}

inline VariableTag* AddVertexMap(PolygonObject* op, const char* name,
                                 const std::vector<Float32>& values) {
  VariableTag* tag = VariableTag::Alloc(Tvertexmap, static_cast<Int32>(values.size()));
  tag->SetName(String(name));
  auto* d = tag->Write<Float32>();
  for (size_t i = 0; i < values.size(); ++i) d[i] = values[i];
  op->InsertTagLast(tag);
  return tag;
}

/// A plug-in tag of the module (bone option, edge), initialised by its plug-in.
inline BaseTag* AddPluginTag(BaseObject* op, Int32 type) {
  EnsurePluginsRegistered();
  BaseTag* tag = BaseTag::Alloc(type);
  op->InsertTagLast(tag);
  return tag;
}

inline BaseObject* AddJoint(BaseDocument* doc, const char* name, const Vector& pos,
                            BaseObject* parent = nullptr) {
  BaseObject* j = BaseObject::Alloc(Ojoint);
  j->SetName(String(name));
  j->SetRelPos(pos);
  doc->InsertObjectLast(j, parent);
  return j;
}

inline BaseObject* AddNull(BaseDocument* doc, const char* name, BaseObject* parent = nullptr) {
  BaseObject* n = BaseObject::Alloc(Onull);
  n->SetName(String(name));
  doc->InsertObjectLast(n, parent);
  return n;
}

/// A material with the colour channel on (colour, brightness 1, optional texture).
inline BaseMaterial* AddMaterial(BaseDocument* doc, const char* name, const Vector& color,
                                 const char* texture = "") {
  BaseMaterial* m = BaseMaterial::Alloc(Mmaterial);
  m->SetName(String(name));
  m->SetChannelState(CHANNEL_COLOR, true);
  BaseContainer* c = m->GetChannel(CHANNEL_COLOR)->GetDataInstance();
  c->SetVector(BASECHANNEL_COLOR_EX, color);
  c->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1.0);
  if (*texture) c->SetString(BASECHANNEL_TEXTURE, String(texture));
  doc->InsertMaterial(m);
  return m;
}

/// A saver node of the PMX saver with its description defaults, freed with the holder.
struct SaverPtr {
  std::unique_ptr<BaseSceneSaver> node;
  SaverPtr() {
    EnsurePluginsRegistered();
    node.reset(host::AllocSceneSaver(ID_PMX_SAVER));
  }
  BaseContainer* data() const { return node->GetDataInstance(); }
  PmxSaverData* saver() const { return node->GetNodeData<PmxSaverData>(); }
};

/// Exports `doc` to `path` through a saver node (fresh one unless given) and answers the
/// result.
inline FILEERROR ExportDocument(BaseDocument* doc, const std::string& path,
                                BaseSceneSaver* node = nullptr) {
  if (node) return host::SaveDocument(node, doc, Filename(String(path)));
  SaverPtr fresh;
  return host::SaveDocument(fresh.node.get(), doc, Filename(String(path)));
}

}  // namespace pmxtest
