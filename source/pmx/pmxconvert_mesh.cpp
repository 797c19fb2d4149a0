// Object conversion: host polygons into triangles and one vertex per distinct point,
// normal, UVW and texture tag; and the emission of a converted object into the model.
#include <functional>
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
  const Vector32* phong = nullptr;  // four per polygon in the world, or null: face normals
  const Vector32* uvws = nullptr;   // four per polygon, or null: all zero
  Int32 uvwCount = 0;
  Matrix mg;
};

/// Polygon corners of the two triangles of a quadrangle, split along a-c.
constexpr int kCorners[2][3] = {{0, 1, 2}, {0, 2, 3}};

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

/// A normal of the object (normalised in single precision) turned into the world. The matrix
/// axes carry any object scaling into the normal on purpose.
Vector32 WorldNormal(const Matrix& mg, const Vector32& local) {
  return Vector32(mg.TransformVector(Vector(NormalizeSingle(local))));
}

/// `normal` is in world orientation.
const PmxObjectVertex& GetOrCreateVertex(ObjectPasses& c, Int64 p, const Vector32& normal,
                                         const Vector32& uvw, BaseTag* textureTag) {
  PmxPolygonExchangeObject& r = *c.record;
  for (const PmxObjectVertex* v = r.FirstVertexOfPoint(p); v; v = r.NextVertexOfSamePoint(*v)) {
    // Every vertex of point p has the world position of p, so positions match unless they
    // are not numbers (which never match); that spares transforming the point again.
    if (v->normal == normal && v->uvw == uvw && v->textureTag == textureTag &&
        v->position == v->position)
      return *v;
  }
  PmxObjectVertex v;
  v.pointIndex = p;
  v.position = c.mg * c.points[p];
  v.normal = normal;
  v.uvw = uvw;
  v.textureTag = textureTag;
  return r.AppendVertex(v);
}

/// Work on another of the host's threads: started with Begin when there is enough of it and
/// the host has a thread to spare, else run by Finish in the calling thread.
class Beside : public C4DThread {
 public:
  explicit Beside(std::function<void()> work) : work_(std::move(work)) {}
  void Main() override { work_(); }
  const Char* GetThreadName() override { return "PmxConvertBeside"; }
  void Begin(bool worthAThread) {
    started_ = worthAThread && GeGetCurrentThreadCount() > 1 && Start(THREADMODE_ASYNC);
  }
  void Finish() {
    if (started_) {
      Wait(false);
    } else {
      Main();
    }
  }

 private:
  std::function<void()> work_;
  bool started_ = false;
};

/// Below this many items a second thread costs more than it saves.
constexpr size_t kWorthAThread = 65536;

/// Runs work(begin, end) over [0, count), a large count in two halves on two threads; each
/// half writes only its own results, so the outcome is the same.
template <typename Work>
void InTwoHalves(size_t count, Work work) {
  const size_t half = count / 2;
  Beside second([&] { work(half, count); });
  second.Begin(count >= kWorthAThread);
  work(0, half);
  second.Finish();
}

/// A vertex's influences depend on its point alone and not on which vertex it is, so they are
/// gathered once the vertices are made: a large object's in two halves on two threads. The
/// warnings for points with more than four come in vertex order.
void GatherWeights(PmxPolygonExchangeObject* record, const PmxWeightReader& reader) {
  std::vector<PmxObjectVertex>& vertices = record->GetVertexListW();
  std::vector<Int32> counts(vertices.size(), 0);
  InTwoHalves(vertices.size(), [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
      counts[i] = reader.Gather(vertices[i].pointIndex, &vertices[i]);
  });
  for (size_t i = 0; i < vertices.size(); ++i) {
    if (counts[i] > 4)
      PmxWeightReader::WarnTooMany(record->name, vertices[i].pointIndex, counts[i]);
  }
}

/// Makes the vertices of the unassigned triangles of polygons first..last, moving `cursor`
/// forward over the polygon-ordered triangles.
void RangePass(ObjectPasses& c, BaseTag* textureTag, Int64 first, Int64 last, size_t& cursor) {
  std::vector<PmxObjectTriangle>& tris = c.record->triangles;
  for (Int64 i = first; i <= last; ++i) {
    while (cursor < tris.size() && tris[cursor].polygonIndex <= i) {
      PmxObjectTriangle& t = tris[cursor];
      if (t.polygonIndex == i && !t.assigned) {
        const size_t base = static_cast<size_t>(t.polygonIndex) * 4;
        const int* corners = kCorners[t.half];
        Vector32 normal[3];
        if (c.phong) {
          for (int k = 0; k < 3; ++k) normal[k] = c.phong[base + corners[k]];
        } else {
          normal[0] = WorldNormal(
              c.mg, Vector32(FaceNormal(c.points[t.pointIndex[0]], c.points[t.pointIndex[1]],
                                        c.points[t.pointIndex[2]])));
          normal[1] = normal[2] = normal[0];
        }
        const bool hasUvw = c.uvws && t.polygonIndex < c.uvwCount;
        for (int k = 0; k < 3; ++k) {
          const Vector32 uvw = hasUvw ? c.uvws[base + corners[k]] : Vector32();
          t.vertexIndex[k] =
              GetOrCreateVertex(c, t.pointIndex[k], normal[k], uvw, textureTag).localIndex;
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
  Vector32* phong = phongHolder.get();
  // Each corner's normal in the world, once, in two halves on two threads for a large object.
  if (phong) {
    const Matrix mg = op->GetMg();
    InTwoHalves(4 * static_cast<size_t>(polygonCount), [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) phong[i] = WorldNormal(mg, phong[i]);
    });
  }
  const auto* uvwTag = static_cast<const UVWTag*>(op->GetTag(Tuvw));
  const Vector32* uvws = uvwTag ? uvwTag->Read<Vector32>() : nullptr;
  const Int32 uvwCount = uvwTag ? uvwTag->GetDataCount() : 0;
  const auto* weightTag = static_cast<const CAWeightTag*>(op->GetTag(Tweights));

  record->triangles.clear();
  record->triangles.reserve(2 * static_cast<size_t>(polygonCount));
  record->ResetVertices(pointCount, 2 * static_cast<Int64>(pointCount));

  for (Int32 i = 0; i < polygonCount; ++i) {
    const CPolygon& p = polys[i];
    // A polygon that names a point the object does not have cannot be placed; it is left
    // out rather than read past the point array.
    if (p.a < 0 || p.b < 0 || p.c < 0 || p.d < 0 || p.a >= pointCount || p.b >= pointCount ||
        p.c >= pointCount || p.d >= pointCount)
      continue;
    // Quadrangles are split along a-c, the same diagonal the viewport draws.
    const int halves = p.c != p.d ? 2 : 1;
    for (int h = 0; h < halves; ++h) {
      PmxObjectTriangle t;
      t.half = h;
      t.polygonIndex = i;
      for (int k = 0; k < 3; ++k) t.pointIndex[k] = p[kCorners[h][k]];
      record->triangles.push_back(t);
    }
  }

  PmxWeightReader weightReader(weightTag);
  ObjectPasses c;
  c.record = record;
  c.op = op;
  c.points = points;
  c.polygonCount = polygonCount;
  c.phong = phong;
  c.uvws = uvws;
  c.uvwCount = uvwCount;
  c.mg = op->GetMg();

  // Later texture tags win a polygon, so they run first and the earlier ones only get what
  // is left.
  for (BaseTag* t = op->GetLastTag(); t; t = t->GetPred()) {
    if (t->GetType() == Ttexture) TexturePass(c, t);
  }
  size_t cursor = 0;
  RangePass(c, nullptr, 0, polygonCount - 1, cursor);
  if (weightTag) GatherWeights(record, weightReader);

  record->sourceObject = op;
  record->morphTargets.clear();
  return true;
}

Bool PmxEmitObject(PmxPolygonExchange* exchange, const PmxPolygonExchangeObject& record,
                   const PmxExportSettings& settings) {
  if (!record.sourceObject) return false;
  const Int64 base = static_cast<Int64>(exchange->model.vertices.size());
  BaseTag* edgeTag = record.sourceObject->GetTag(ID_PMX_EDGE_TAG);
  exchange->model.parts.push_back(PmxModelPart{record.name, base});

  // Each triangle goes to the material of its first vertex's texture tag. A first walk finds
  // the materials (making new ones in the order the triangles reach them) and counts their
  // triangles, so the second appends without regrowing the arrays. Neighbouring triangles
  // nearly always share a tag, which spares most lookups.
  struct Run {
    const BaseTag* tag = nullptr;
    Int64 material = -1;
    size_t count = 0;
  };
  std::vector<Run> runs;  // one per texture tag met
  auto runOf = [&](BaseTag* tag, Run* last) -> Run* {
    if (last && last->tag == tag) return last;
    for (Run& r : runs)
      if (r.tag == tag) return &r;
    return nullptr;
  };
  Run* last = nullptr;
  for (const PmxObjectTriangle& t : record.triangles) {
    BaseTag* tag = record.GetVertex(t.vertexIndex[0]).textureTag;
    Run* run = runOf(tag, last);
    if (!run) {
      runs.push_back(
          Run{tag, PmxMaterialForTextureTag(exchange, tag, record.name, edgeTag, settings), 0});
      run = &runs.back();
    }
    ++run->count;
    last = run;
  }
  std::vector<PmxMaterial>& materials = exchange->model.materials;
  for (const Run& r : runs) {
    auto& triangles = materials[static_cast<size_t>(r.material)].triangles;
    triangles.reserve(triangles.size() + r.count);
  }
  // The vertices are emitted on another thread while the triangles go to their materials:
  // the two fill different lists, and only the vertices' pass prints.
  Beside vertices([&] {
    PmxEmitVertices(exchange, record, settings,
                    PmxEdgeTag::FindEdgeScaleMap(record.sourceObject, edgeTag));
  });
  vertices.Begin(record.GetVertexList().size() >= kWorthAThread);
  last = nullptr;
  for (const PmxObjectTriangle& t : record.triangles) {
    last = runOf(record.GetVertex(t.vertexIndex[0]).textureTag, last);
    PmxTriangle out;
    for (int k = 0; k < 3; ++k) out.vertexIndex[k] = base + t.vertexIndex[k];
    materials[static_cast<size_t>(last->material)].triangles.push_back(out);
  }

  vertices.Finish();
  for (const BaseObject* target : record.morphTargets) {
    PmxAddMorphOffsets(exchange, record, target, base, settings.scale);
  }
  return true;
}
