// A bounding volume hierarchy over the source elements of a weight transfer (points, edges
// and polygon halves), answering for a target point exactly the element the exhaustive walk
// takes.
//
// The walk takes the element with the smallest distance and, among equal distances, the
// earliest in walk order (points, then edges, then polygon halves, each in set order). The
// index orders candidates by the same pair (distance, walk position), computes every
// distance with the walk's own formulas, and prunes a subtree only when a lower bound of its
// distances, less a rounding margin, exceeds the best distance found. So it returns the same
// element and the target receives bit-identical weights.
//
// A polygon half can be taken only where the projection passes the angle test. That test
// accepts points slightly outside the triangle (within a 1e-4 angle tolerance, i.e. within
// about 1.25e-5 of an edge's length of the edge), so each half's box is grown by 1e-4 of its
// diagonal.
//
// The sub-cell search runs only for the winning half, so its console message appears once
// per target point whose winning quadrangle half has no containing sub-cell, where the walk
// prints it for every half it takes on the way.
#pragma once

#include <memory>
#include <vector>

#include "weighttransfer/wtgeometry.h"

class WeightTransferIndex {
 public:
  /// Builds the index over the context's source point list, edge set and polygon set (these
  /// must be final). Null when the source has coordinates the rounding margin cannot cover
  /// (not finite, or beyond 1e100); the run then walks every element.
  static std::unique_ptr<WeightTransferIndex> Build(const WeightTransferContext& ctx);

  /// The element the exhaustive walk takes for `x`, with the winning half's sub-cell
  /// searched. False when `x` cannot be searched through the index (not finite, or beyond
  /// 1e100); the caller walks every element then. `hint` (may be null) carries the winner
  /// from one call to the next, which speeds up nearby queries without changing answers.
  Bool FindNearest(const Vector& x, NearestSource* out, Int32* hint = nullptr) const;

  Int32 GetElementCount() const { return static_cast<Int32>(elements_.size()); }

 private:
  enum Kind : Int32 { kPoint, kEdge, kHalf };
  struct Element {
    Vector lo, hi;
    Kind kind;
    Int32 item;   // index into points_, edges_ or halves_
    Int64 order;  // position in the exhaustive walk
  };
  struct Node {
    Vector lo, hi;
    Int32 first = 0;            // leaf: first element
    Int32 count = 0;            // leaf: element count; 0 for an inner node
    Int32 left = 0, right = 0;  // inner: children
  };
  struct PointItem {
    Vector position;
    Int32 index;
  };
  struct EdgeItem {
    Vector e0, e1;
    Int32 i0, i1;
  };
  struct HalfItem {
    Int32 polygon;  // index into polygons_
    Int32 half;
  };
  struct PolygonItem {
    Vector a, b, c, d;
    CPolygon corners;
  };

  Int32 BuildNode(Int32 first, Int32 count, const std::vector<UInt64>& codes);

  std::vector<PointItem> points_;
  std::vector<EdgeItem> edges_;
  std::vector<HalfItem> halves_;
  std::vector<PolygonItem> polygons_;
  std::vector<Element> elements_;
  std::vector<Node> nodes_;
  Float scale_ = 0.0;  // largest absolute source coordinate
};
