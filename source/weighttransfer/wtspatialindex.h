// A bounding volume hierarchy over the source of a weight transfer, answering for a target
// point exactly the element the exhaustive walk takes: a source point, a point on a source
// edge, or a polygon half whose plane the target projects into.
//
// The walk takes the element with the smallest distance and, among equal distances, the
// earliest in walk order (points, then edges, then polygon halves, each in set order). The
// index orders candidates by the same pair (distance, walk position), computes every
// distance with the walk's own formulas (wtgeometry.h), and passes over a box or an element
// only when a lower bound of its distance, less a rounding margin, exceeds the best distance
// found. So it returns the same element and the target receives bit-identical weights.
//
// The hierarchy is built over clusters: each source polygon is one cluster that owns its
// halves and those of its corners and edges no earlier cluster owns (every point and edge
// of a surface source belongs to a polygon); each point of a points-only source is a
// cluster of its own. The clusters are sorted along a Morton curve and cut into leaves of
// four; the elements are stored in leaf order, so a leaf is three short runs of points,
// edges and halves that sit together in memory. Inner nodes hold their two children's boxes
// in single precision, rounded outwards, so a step down the tree reads one cache line.
//
// A query searches the previous query's winning leaf first (target points in index order
// are mostly neighbours), which bounds the rest of the descent tightly from the start. In a
// leaf, cheap tests pass over most elements before any exact formula runs: a sphere around
// each edge, and for each half its plane offset and its edge lines in single precision with
// allowances for their rounding. A half whose projection lies clearly inside skips the
// angle test (it passes for certain); one clearly beyond an edge line is passed over (it
// fails for certain).
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
  /// 1e100); the caller walks every element then. `hint` (may be null) carries the winner's
  /// leaf from one call to the next, which speeds up nearby queries without changing answers.
  Bool FindNearest(const Vector& x, NearestSource* out, Int32* hint = nullptr) const;

  Int32 GetLeafCount() const { return static_cast<Int32>(pointStart_.size()) - 1; }

 private:
  struct PointItem {
    Vector position;
    Int32 index;  // the source point index
    Int32 rank;   // position in the source point list
  };
  /// An edge (its ends' positions are in positions_) and, in edgeBounds_ at the same place,
  /// a sphere around it for a cheap first test.
  struct EdgeItem {
    Int32 i0, i1;  // the smaller and the larger point index
    Int32 rank;    // position in the edge set
  };
  struct EdgeBound {
    Vector centre;
    Float radius;
  };
  /// A polygon half as the quick tests see it, in single precision where rounding only
  /// widens their allowances (its exact unit normal is in normals_ at the same place).
  struct HalfItem {
    Vector origin;    // the corner a
    float normal[3];  // the unit normal
    // The in-plane unit normals of the edges a-p1, p1-p2 and p2-a pointing inside, and the
    // offsets along them of the second and third edge's line from a (the first's is 0).
    float inward[3][3];
    float along[2];
    // How far beyond an edge line x may lie and still be looked at: `beyond`, plus the
    // rounding of the normals and offsets: `slack` plus `tilt` per unit of |x - a| (1-norm).
    float beyond, slack, tilt;
    Int32 polygon;  // index into polygons_
    Int32 half;     // 0: the triangle (a, b, c); 1: (a, c, d)
  };
  struct PolygonItem {
    CPolygon corners;
    Int32 rank;  // position in the polygon set
  };
  /// Two children's boxes (lo x y z, hi x y z each); a child below 0 is leaf ~child.
  struct Node {
    float box[2][6];
    Int32 child[2];
  };
  /// What the search has taken so far.
  struct Best;

  static HalfItem MakeHalf(const WTPlane& plane, Float area2, const Vector& p1, const Vector& p2);
  void SearchLeaf(Int32 leaf, const Vector& x, Best* best) const;
  /// Fills `out` with what the search took (searching the winning half's sub-cells).
  Bool Answer(const Vector& x, const Best& best, NearestSource* out) const;
  const Vector& Position(Int32 index) const { return positions_[static_cast<size_t>(index)]; }

  std::vector<Vector> positions_;  // by source point index, as the walk positions them
  std::vector<PointItem> points_;
  std::vector<EdgeItem> edges_;
  std::vector<EdgeBound> edgeBounds_;
  std::vector<HalfItem> halves_;
  std::vector<Vector> normals_;
  std::vector<PolygonItem> polygons_;
  // Leaf k holds points_[pointStart_[k], pointStart_[k + 1]) and likewise edges and halves.
  std::vector<Int32> pointStart_, edgeStart_, halfStart_;
  std::vector<Node> nodes_;
  float rootBox_[6] = {};
  Int32 root_ = 0;                     // as a Node child; unused without leaves
  Int64 edgeBase_ = 0, halfBase_ = 0;  // walk positions of the first edge and the first half
  Float scale_ = 0.0;                  // largest absolute source coordinate
};
