// Geometry that the weight transfer's searches share: distances, the closest point on an
// edge, the two-stage triangle test and a quadrangle half's sub-cell search. The exhaustive
// walk (wtinterpolation.h) and the spatial index (wtspatialindex.h) both call these, so that
// both compare bit-identical numbers.
#pragma once

#include <cmath>

#include "weighttransfer/weighttransfer.h"

/// Weights below this count as none; sums below it are not normalised.
constexpr Float WT_EPSILON = 1e-10;
/// Cells per side of the parameter square in a quadrangle's sub-cell search.
constexpr Int32 WT_SUBCELLS = 32;

/// Where inside a polygon the nearest place lies.
struct SurfaceHit {
  Float b0 = 0, b1 = 0, b2 = 0;  // barycentric weights inside a (sub-)triangle
  Float s0 = 0, t0 = 0;          // the sub-cell's origin in the polygon's parameter square
  Float h = 1;                   // the sub-cell's edge length (1: no sub-cell)
  Int32 flag = 1;                // 1: the half (00, 10, 11); 0: the half (00, 11, 01)
};

/// The source element a target point takes its weights from.
struct NearestSource {
  enum Kind : Int32 { kNone, kPoint, kEdge, kPolygon };
  Kind kind = kNone;
  Int32 point = 0;       // kPoint: the source point index
  Int32 e0 = 0, e1 = 0;  // kEdge: the smaller-index end and the larger-index end
  Float u = 0;           // kEdge: parameter from e0 (0) to e1 (1)
  CPolygon polygon;      // kPolygon: the polygon's corners
  Int32 half = 0;        // kPolygon: 0 the triangle (a, b, c), 1 the triangle (a, c, d)
  SurfaceHit hit;        // kPolygon
};

/// Distance between two positions, the one formula every search uses (so that the searches
/// compare bit-identical numbers).
inline Float WTDistance(const Vector& p, const Vector& q) { return (p - q).GetLength(); }

/// A source edge with what the closest-point formula needs of it besides the point, so
/// that a search can prepare its edges once.
struct WTSegment {
  Vector e0, e1, v;    // the ends and v = e1 - e0
  Float length2 = 0;   // |v|²
  Bool point = false;  // shorter than 1e-10: acts as its first end
};

inline WTSegment WTMakeSegment(const Vector& e0, const Vector& e1) {
  WTSegment s;
  s.e0 = e0;
  s.e1 = e1;
  s.v = e1 - e0;
  s.length2 = s.v.GetSquaredLength();
  s.point = std::sqrt(s.length2) < WT_EPSILON;  // |v|, as GetLength computes it
  return s;
}

/// The closest point to `x` on the segment and its parameter u in [0, 1].
inline Vector WTClosestOnSegment(const WTSegment& s, const Vector& x, Float* u) {
  if (s.point) {
    *u = 0.0;
    return s.e0;
  }
  const Float t = Dot(s.v, x - s.e0) / s.length2;
  if (t <= 0.0) {
    *u = 0.0;
    return s.e0;
  }
  if (t >= 1.0) {
    *u = 1.0;
    return s.e1;
  }
  *u = t;
  return s.e0 + s.v * t;
}

/// The closest point to `x` on the segment e0-e1 and its parameter u in [0, 1]; a segment
/// shorter than 1e-10 acts as its first end.
inline Vector WTClosestOnSegment(const Vector& e0, const Vector& e1, const Vector& x, Float* u) {
  return WTClosestOnSegment(WTMakeSegment(e0, e1), x, u);
}

/// The plane of a triangle p0, p1, p2 through p0, with its unit normal.
struct WTPlane {
  Vector origin, normal;
};

/// False for a triangle whose normal is shorter than 1e-10 (it has no plane). `area2` (may
/// be null) receives the normal's length before normalising: twice the triangle's area.
inline Bool WTMakePlane(const Vector& p0, const Vector& p1, const Vector& p2, WTPlane* plane,
                        Float* area2 = nullptr) {
  const Vector n = Cross(p1 - p0, p2 - p0);
  const Float length = n.GetLength();
  if (length < WT_EPSILON) return false;
  plane->origin = p0;
  plane->normal = n.GetNormalized();
  if (area2) *area2 = length;
  return true;
}

/// The signed distance of `x` from the plane (along its unit normal).
inline Float WTPlaneOffset(const WTPlane& plane, const Vector& x) {
  return Dot(x - plane.origin, plane.normal);
}

/// The projection of `x` onto the plane, given WTPlaneOffset(plane, x).
inline Vector WTProject(const WTPlane& plane, const Vector& x, Float offset) {
  return x - plane.normal * offset;
}
inline Vector WTProject(const WTPlane& plane, const Vector& x) {
  return WTProject(plane, x, WTPlaneOffset(plane, x));
}

/// First stage of the triangle test: the projection of `x` onto the plane of p0, p1, p2.
/// False for a triangle whose normal is shorter than 1e-10.
inline Bool WTProjectOnTriangle(const Vector& p0, const Vector& p1, const Vector& p2,
                                const Vector& x, Vector* projection) {
  WTPlane plane;
  if (!WTMakePlane(p0, p1, p2, &plane)) return false;
  *projection = WTProject(plane, x);
  return true;
}
/// Second stage: whether the projection lies inside (angle sum within 1e-4 of pi) and its
/// barycentric weights by areas; false outside or for a vanishing area.
Bool WTInsideTriangle(const Vector& p0, const Vector& p1, const Vector& p2,
                      const Vector& projection, Float* b0, Float* b1, Float* b2);
/// The second stage with the same answer, computing the angle sum only for projections near
/// the triangle's border (`x` is the point that was projected).
Bool WTInsideTriangleFast(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                          const Vector& projection, Float* b0, Float* b1, Float* b2);
/// The barycentric weights of the second stage alone, for a projection known to lie inside
/// the triangle (its angle test passes); false for a vanishing area.
Bool WTTriangleWeights(const Vector& p0, const Vector& p1, const Vector& p2,
                       const Vector& projection, Float* b0, Float* b1, Float* b2);
/// Both stages.
Bool WTTriangleTest(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                    Vector* projection, Float* b0, Float* b1, Float* b2);
/// Both stages, the second through WTInsideTriangleFast.
Bool WTTriangleTestFast(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                        Vector* projection, Float* b0, Float* b1, Float* b2);

/// Sub-cell search of one half of a quadrangle (corners already positioned). Visits every
/// cell in order and answers the first that contains the projection of `x`.
Bool WTSubCellSearchAll(const Vector& a, const Vector& b, const Vector& c, const Vector& d,
                        Int32 half, const Vector& x, SurfaceHit* hit);
/// The same answer as WTSubCellSearchAll, testing only the cells that can contain the
/// projection (cells farther than half a cell diagonal fail the angle test by a wide margin).
Bool WTSubCellSearchNear(const Vector& a, const Vector& b, const Vector& c, const Vector& d,
                         Int32 half, const Vector& x, SurfaceHit* hit);

/// Position of source point `index` as the searches compare it.
inline Vector WTSourcePosition(const WeightTransferContext& ctx, const Vector* points,
                               Int32 index) {
  const Vector& p = points[index];
  return ctx.settings.localCoordinates ? p : ctx.sourceMg * p;
}

/// The console line printed when no sub-cell of a taken half contains the projection.
void WTPrintSubCellMiss();
