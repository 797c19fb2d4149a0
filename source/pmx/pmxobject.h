// Per-object conversion records: one host polygon object turned into triangles and
// PMX-ready vertices before it is emitted into the model.
#pragma once

#include <vector>

#include "c4d.h"

/// One joint influence of a vertex; a null joint marks an empty slot.
struct PmxInfluence {
  BaseObject* joint = nullptr;
  Float weight = 0.0;
};

/// A distinct combination of point, normal, UVW and texture tag of one object.
struct PmxObjectVertex {
  Int64 localIndex = 0;  // position in the object's vertex list
  Int64 pointIndex = 0;  // host point index
  Vector position;       // world space, not yet scaled
  Vector32 normal;       // world orientation
  Vector32 uvw;
  BaseTag* textureTag = nullptr;  // null: made by the default pass
  PmxInfluence influences[4];     // strongest first
};

/// One triangle of a host polygon. Its corners' UVWs and normals are read from the host's
/// arrays when a pass makes the vertices rather than copied into every triangle: the copies
/// would double the memory of a large mesh's conversion.
struct PmxObjectTriangle {
  Int32 polygonIndex = 0;
  Int32 pointIndex[3] = {0, 0, 0};
  Int32 vertexIndex[3] = {0, 0, 0};  // local; 32 bits, like every index of the file
  UChar assigned = 0;                // set once a pass has made the corners' vertices
  UChar half = 0;                    // 0: corners a, b, c of the polygon; 1: corners a, c, d
};

/// A host polygon object converted for the export. Owned by the model's object list.
///
/// The vertices of one point are chained in creation order, so a lookup only visits the
/// few vertices already made from that point; the chain replaces an ordered multimap keyed
/// by point index and gives the same order.
class PmxPolygonExchangeObject {
 public:
  PmxPolygonExchangeObject() = default;
  PmxPolygonExchangeObject(const PmxPolygonExchangeObject&) = delete;
  PmxPolygonExchangeObject& operator=(const PmxPolygonExchangeObject&) = delete;
  virtual ~PmxPolygonExchangeObject() = default;

  String name;
  PolygonObject* sourceObject = nullptr;
  std::vector<PmxObjectTriangle> triangles;
  std::vector<BaseObject*> morphTargets;

  /// Number of vertices made so far (the next local index).
  Int64 GetVertexCount() const { return static_cast<Int64>(vertices_.size()); }
  /// Vertices in creation order; position = local index.
  const std::vector<PmxObjectVertex>& GetVertexList() const { return vertices_; }
  /// The same for filling in what does not decide a vertex's identity (its influences).
  std::vector<PmxObjectVertex>& GetVertexListW() { return vertices_; }
  const PmxObjectVertex& GetVertex(Int64 localIndex) const {
    return vertices_[static_cast<size_t>(localIndex)];
  }

  /// First vertex made from point `p`, or null.
  const PmxObjectVertex* FirstVertexOfPoint(Int64 p) const {
    if (p < 0 || p >= static_cast<Int64>(firstOfPoint_.size())) return nullptr;
    const Int64 v = firstOfPoint_[static_cast<size_t>(p)];
    return v < 0 ? nullptr : &vertices_[static_cast<size_t>(v)];
  }
  /// The vertex made from the same point after `v`, or null.
  const PmxObjectVertex* NextVertexOfSamePoint(const PmxObjectVertex& v) const {
    const Int64 n = nextOfSamePoint_[static_cast<size_t>(v.localIndex)];
    return n < 0 ? nullptr : &vertices_[static_cast<size_t>(n)];
  }

  /// Prepares the per-point chains for `pointCount` points and room for `vertexReserve`
  /// vertices. Clears every vertex made before.
  void ResetVertices(Int64 pointCount, Int64 vertexReserve);
  /// Appends a vertex made from `v.pointIndex` (its localIndex is set here) and answers it.
  PmxObjectVertex& AppendVertex(const PmxObjectVertex& v);

 private:
  std::vector<PmxObjectVertex> vertices_;
  std::vector<Int64> firstOfPoint_, lastOfPoint_;
  std::vector<Int64> nextOfSamePoint_;
};
