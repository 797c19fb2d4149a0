// Object conversion: host polygons into triangles and one vertex per distinct point,
// normal, UVW and texture tag; and the emission of a converted object into the model.
#include <memory>
#include <vector>

#include "pmx/pmxconvert.h"
#include "pmx/pmxweights.h"
#include "pmxedge/pmxedgetag.h"

namespace {

/// What the passes of one object conversion share.
struct ObjectPasses {
  PmxPolygonExchangeObject* record = nullptr;
  PolygonObject* op = nullptr;
  const Vector* points = nullptr;
  Int32 polygonCount = 0;
  Matrix mg;
  PmxWeightReader* weights = nullptr;
};

/// The host's phong normals, released however the conversion leaves.
struct PhongNormalsDeleter {
  void operator()(Vector32* p) const { DeleteMem(p); }
};
using PhongNormals = std::unique_ptr<Vector32, PhongNormalsDeleter>;

/// The face normal of (a, b, c), unit length or zero.
Vector FaceNormal(const Vector& a, const Vector& b, const Vector& c) {
  const Vector n = Cross(b - a, c - a);
  const Float len = n.GetLength();
  return len == 0 ? Vector() : n / len;
}

/// Single-precision normalisation; a zero vector stays zero.
Vector32 NormalizeSingle(const Vector32& n) {
  const Float32 len = n.GetLength();
  return len == 0 ? n : n / len;
}

const PmxObjectVertex& GetOrCreateVertex(ObjectPasses& c, Int64 p, const Vector32& localNormal,
                                         const Vector32& uvw, BaseTag* textureTag) {
  PmxPolygonExchangeObject& r = *c.record;
  const Vector world = c.mg * c.points[p];
  // The matrix axes carry any object scaling into the normal on purpose.
  const Vector32 normal(c.mg.TransformVector(Vector(localNormal)));
  for (const PmxObjectVertex* v = r.FirstVertexOfPoint(p); v; v = r.NextVertexOfSamePoint(*v)) {
    if (v->position == world && v->normal == normal && v->uvw == uvw && v->textureTag == textureTag)
      return *v;
  }
  PmxObjectVertex v;
  v.pointIndex = p;
  v.position = world;
  v.normal = normal;
  v.uvw = uvw;
  v.textureTag = textureTag;
  if (c.weights) c.weights->Gather(r.name, p, &v);
  return r.AppendVertex(v);
}

/// Makes the vertices of the unassigned triangles of polygons first..last, moving `cursor`
/// forward over the polygon-ordered triangles.
void RangePass(ObjectPasses& c, BaseTag* textureTag, Int64 first, Int64 last, size_t& cursor) {
  std::vector<PmxObjectTriangle>& tris = c.record->triangles;
  for (Int64 i = first; i <= last; ++i) {
    while (cursor < tris.size() && tris[cursor].polygonIndex <= i) {
      PmxObjectTriangle& t = tris[cursor];
      if (t.polygonIndex == i && !t.assigned) {
        for (int k = 0; k < 3; ++k) {
          t.vertexIndex[k] =
              GetOrCreateVertex(c, t.pointIndex[k], t.normal[k], t.uvw[k], textureTag).localIndex;
        }
        t.assigned = 1;
      }
      ++cursor;
    }
    if (cursor >= tris.size()) break;
  }
}

void TexturePass(ObjectPasses& c, BaseTag* textureTag) {
  // A texture tag without a material assigns nothing: its polygons keep the material of an
  // earlier tag or fall to the default material, as they would render without it.
  if (!static_cast<TextureTag*>(textureTag)->GetMaterial()) return;
  const String restriction = textureTag->GetDataInstance()->GetString(TEXTURETAG_RESTRICTION);
  size_t cursor = 0;
  if (!restriction.Content()) {
    RangePass(c, textureTag, 0, c.polygonCount - 1, cursor);
    return;
  }
  const SelectionTag* selection = nullptr;
  for (BaseTag* t = c.op->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() == Tpolygonselection && t->GetName() == restriction) {
      selection = static_cast<const SelectionTag*>(t);
      break;
    }
  }
  if (!selection) return;
  const BaseSelect* sel = selection->GetBaseSelect();
  Int32 a = 0, b = 0;
  for (Int32 seg = 0; sel->GetRange(seg, c.polygonCount, &a, &b); ++seg) {
    RangePass(c, textureTag, a, b, cursor);
  }
}

}  // namespace

Bool PmxConvertObject(PmxPolygonExchangeObject* record, PolygonObject* op) {
  if (!record || !op) return false;
  const Vector* points = op->GetPointR();
  const Int32 pointCount = op->GetPointCount();
  const CPolygon* polys = op->GetPolygonR();
  const Int32 polygonCount = op->GetPolygonCount();
  if (!polys || polygonCount <= 0) return true;

  record->name = op->GetName();
  const PhongNormals phongHolder(op->CreatePhongNormals());
  const Vector32* phong = phongHolder.get();
  const auto* uvwTag = static_cast<const UVWTag*>(op->GetTag(Tuvw));
  const Vector32* uvws = uvwTag ? uvwTag->Read<Vector32>() : nullptr;
  const Int32 uvwCount = uvwTag ? uvwTag->GetDataCount() : 0;
  const auto* weightTag = static_cast<const CAWeightTag*>(op->GetTag(Tweights));

  record->triangles.clear();
  record->triangles.reserve(2 * static_cast<size_t>(polygonCount));
  record->ResetVertices(pointCount, 2 * static_cast<Int64>(pointCount));

  const Vector32 zero;
  for (Int32 i = 0; i < polygonCount; ++i) {
    const CPolygon& p = polys[i];
    // A polygon that names a point the object does not have cannot be placed; it is left
    // out rather than read past the point array.
    if (p.a < 0 || p.b < 0 || p.c < 0 || p.d < 0 || p.a >= pointCount || p.b >= pointCount ||
        p.c >= pointCount || p.d >= pointCount)
      continue;
    const Vector32* uv = uvws && i < uvwCount ? uvws + static_cast<size_t>(i) * 4 : nullptr;
    const Vector32* pn = phong ? phong + static_cast<size_t>(i) * 4 : nullptr;
    const Vector32 cornerUvw[4] = {uv ? uv[0] : zero, uv ? uv[1] : zero, uv ? uv[2] : zero,
                                   uv ? uv[3] : zero};

    // Quadrangles are split along a-c, the same diagonal the viewport draws.
    const int halves = p.c != p.d ? 2 : 1;
    for (int h = 0; h < halves; ++h) {
      const int corner[3] = {0, h == 0 ? 1 : 2, h == 0 ? 2 : 3};
      PmxObjectTriangle t;
      t.polygonIndex = i;
      Vector32 faceNormal;
      if (!pn) {
        faceNormal =
            Vector32(FaceNormal(points[p[corner[0]]], points[p[corner[1]]], points[p[corner[2]]]));
      }
      for (int k = 0; k < 3; ++k) {
        t.pointIndex[k] = p[corner[k]];
        t.uvw[k] = cornerUvw[corner[k]];
        t.normal[k] = NormalizeSingle(pn ? pn[corner[k]] : faceNormal);
      }
      record->triangles.push_back(t);
    }
  }

  PmxWeightReader weightReader(weightTag);
  ObjectPasses c;
  c.record = record;
  c.op = op;
  c.points = points;
  c.polygonCount = polygonCount;
  c.mg = op->GetMg();
  c.weights = weightTag ? &weightReader : nullptr;

  // Later texture tags win a polygon, so they run first and the earlier ones only get what
  // is left.
  for (BaseTag* t = op->GetLastTag(); t; t = t->GetPred()) {
    if (t->GetType() == Ttexture) TexturePass(c, t);
  }
  size_t cursor = 0;
  RangePass(c, nullptr, 0, polygonCount - 1, cursor);

  record->sourceObject = op;
  record->morphTargets.clear();
  return true;
}

Bool PmxEmitObject(PmxPolygonExchange* model, PmxPolygonExchangeObject* record,
                   const PmxExportSettings& settings) {
  if (!model || !record || !record->sourceObject) return false;
  const Int64 base = static_cast<Int64>(model->vertices.size());
  BaseTag* edgeTag = record->sourceObject->GetTag(ID_PMX_EDGE_TAG);

  // Neighbouring triangles nearly always share a texture tag; skip the map lookup then.
  const BaseTag* lastTag = nullptr;
  PmxMaterial* lastMaterial = nullptr;
  for (const PmxObjectTriangle& t : record->triangles) {
    BaseTag* tag = record->GetVertex(t.vertexIndex[0]).textureTag;
    if (!lastMaterial || tag != lastTag) {
      lastMaterial = PmxMaterialForTextureTag(model, tag, record->name, edgeTag, settings);
      lastTag = tag;
    }
    PmxTriangle out;
    for (int k = 0; k < 3; ++k) out.vertexIndex[k] = base + t.vertexIndex[k];
    lastMaterial->triangles.push_back(out);
  }

  const VariableTag* edgeScaleMap = PmxEdgeTag::FindEdgeScaleMap(record->sourceObject, edgeTag);
  if (!PmxEmitVertices(model, record, settings, edgeScaleMap)) return false;

  for (BaseObject* target : record->morphTargets) {
    PmxAddMorphOffsets(model, record, target, base, settings.scale);
  }
  return true;
}
