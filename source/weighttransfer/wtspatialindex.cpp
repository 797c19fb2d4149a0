#include "weighttransfer/wtspatialindex.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr Int32 kLeafClusters = 4;
constexpr Float kCoordinateLimit = 1e100;
// Lower bounds are lowered by this fraction of the coordinate scale, far more than the
// rounding of any distance the searches compute; the absolute part keeps the squares of the
// bounds clear of underflow.
constexpr Float kMargin = 1e-9;
constexpr Float kMarginFloor = 1e-150;
// Growth of a half's box: the angle test accepts points within ~1.25e-5 of an edge length
// outside the triangle.
constexpr Float kHalfGrowth = 1e-4;
constexpr Float kInfinity = std::numeric_limits<Float>::infinity();

Float MaxAbs(const Vector& v) { return std::max({std::abs(v.x), std::abs(v.y), std::abs(v.z)}); }

Bool Usable(const Vector& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) &&
         MaxAbs(v) <= kCoordinateLimit;
}

Vector Min(const Vector& a, const Vector& b) {
  return Vector(std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z));
}
Vector Max(const Vector& a, const Vector& b) {
  return Vector(std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z));
}

struct Box {
  Vector lo{kInfinity, kInfinity, kInfinity};
  Vector hi{-kInfinity, -kInfinity, -kInfinity};
  void Add(const Vector& p) {
    lo = Min(lo, p);
    hi = Max(hi, p);
  }
  void Add(const Box& b) {
    lo = Min(lo, b.lo);
    hi = Max(hi, b.hi);
  }
};

/// The next float above f (f finite, not the largest).
float NextUp(float f) {
  if (f == 0.0f) return std::numeric_limits<float>::denorm_min();
  const UInt32 bits = std::bit_cast<UInt32>(f);
  return std::bit_cast<float>(f > 0.0f ? bits + 1 : bits - 1);
}

/// Single-precision bounds that contain the double-precision value.
float FloatDown(Float v) {
  constexpr Float kMax = std::numeric_limits<float>::max();
  if (v > kMax) return std::numeric_limits<float>::max();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  const float f = static_cast<float>(v);
  return static_cast<Float>(f) > v ? -NextUp(-f) : f;
}
float FloatUp(Float v) {
  constexpr Float kMax = std::numeric_limits<float>::max();
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::max();
  const float f = static_cast<float>(v);
  return static_cast<Float>(f) < v ? NextUp(f) : f;
}

void StoreBox(const Box& b, float* out) {
  out[0] = FloatDown(b.lo.x);
  out[1] = FloatDown(b.lo.y);
  out[2] = FloatDown(b.lo.z);
  out[3] = FloatUp(b.hi.x);
  out[4] = FloatUp(b.hi.y);
  out[5] = FloatUp(b.hi.z);
}

/// How far v lies outside [lo, hi].
inline Float Gap(Float lo, Float v, Float hi) { return v < lo ? lo - v : (v > hi ? v - hi : 0.0); }

/// Squared distance from x to a box (0 inside).
inline Float BoxDistance2(const Vector& x, const float* box) {
  const Float dx = Gap(box[0], x.x, box[3]);
  const Float dy = Gap(box[1], x.y, box[4]);
  const Float dz = Gap(box[2], x.z, box[5]);
  return dx * dx + dy * dy + dz * dz;
}

/// Spreads the low 21 bits of v to every third bit of 63.
UInt64 SpreadBits(UInt64 v) {
  v &= 0x1fffff;
  v = (v | v << 32) & 0x1f00000000ffffULL;
  v = (v | v << 16) & 0x1f0000ff0000ffULL;
  v = (v | v << 8) & 0x100f00f00f00f00fULL;
  v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
  v = (v | v << 2) & 0x1249249249249249ULL;
  return v;
}

/// Sorts by key, keeping equal keys in their order (a radix sort, 11 bits a pass).
void SortByKey(std::vector<std::pair<UInt64, Int32>>* v) {
  constexpr Int32 kBits = 11;
  constexpr size_t kBuckets = size_t(1) << kBits;
  std::vector<std::pair<UInt64, Int32>> other(v->size());
  std::vector<size_t> start(kBuckets);
  for (Int32 shift = 0; shift < 64; shift += kBits) {
    std::fill(start.begin(), start.end(), 0);
    for (const auto& e : *v) ++start[(e.first >> shift) & (kBuckets - 1)];
    if (std::find(start.begin(), start.end(), v->size()) != start.end()) continue;  // one digit
    size_t sum = 0;
    for (size_t& n : start) {
      const size_t c = n;
      n = sum;
      sum += c;
    }
    for (const auto& e : *v) other[start[(e.first >> shift) & (kBuckets - 1)]++] = e;
    v->swap(other);
  }
}

}  // namespace

struct WeightTransferIndex::Best {
  enum Kind : Int32 { kNone, kPoint, kEdge, kHalf };
  Float dist = kInfinity;
  Int64 order = std::numeric_limits<Int64>::max();
  Float margin = 0.0;
  Float rounding = 0.0;      // rounding of a dot product of a unit vector with x or a corner
  Float limit = kInfinity;   // dist + margin: beyond it nothing can win
  Float limit2 = kInfinity;  // limit²
  Kind kind = kNone;
  Int32 item = 0;  // index into points_, edges_ or halves_
  Int32 leaf = -1;
  Float u = 0.0;
  Float b0 = 0.0, b1 = 0.0, b2 = 0.0;

  Bool Beats(Float d, Int64 o) const { return d < dist || (d == dist && o < order); }
  void Take(Float d, Int64 o, Kind k, Int32 i, Int32 l) {
    dist = d;
    order = o;
    limit = d + margin;
    limit2 = limit * limit;
    kind = k;
    item = i;
    leaf = l;
  }
};

WeightTransferIndex::HalfItem WeightTransferIndex::MakeHalf(const WTPlane& plane, Float area2,
                                                            const Vector& p1, const Vector& p2) {
  HalfItem h{};
  const Vector& p0 = plane.origin;
  h.origin = p0;
  h.normal[0] = static_cast<float>(plane.normal.x);
  h.normal[1] = static_cast<float>(plane.normal.y);
  h.normal[2] = static_cast<float>(plane.normal.z);
  const Vector corner[3] = {p0, p1, p2};
  Float longest = 0.0, magnitude = 0.0;
  for (Int32 i = 0; i < 3; ++i) {
    const Vector edge = corner[(i + 1) % 3] - corner[i];
    const Float length = edge.GetLength();
    // The edge lies in the plane, so normal x edge is as long as the edge.
    const Vector inward = Cross(plane.normal, edge) * (1.0 / length);
    h.inward[i][0] = static_cast<float>(inward.x);
    h.inward[i][1] = static_cast<float>(inward.y);
    h.inward[i][2] = static_cast<float>(inward.z);
    if (i > 0) {
      h.along[i - 1] = static_cast<float>(
          Dot(Vector(h.inward[i][0], h.inward[i][1], h.inward[i][2]), corner[i] - p0));
    }
    longest = std::max(longest, length);
    magnitude = std::max(magnitude, MaxAbs(corner[i]));
  }
  // The angle test fails for a projection farther than 1.25e-5 of an edge's length from
  // every edge (each edge then subtends less than pi - 5e-5), so a point beyond an edge line
  // by 1e-3 of the longest edge fails it for certain. The normals' directions are off by the
  // rounding of the corners' differences relative to the triangle's shape (taken here with a
  // hundredfold safety) and by the single precision (below 2e-7), which moves a line by that
  // angle times the distance from it; the offsets are off by 1e-7 of the longest edge.
  const Float tilt = 1e-13 * (magnitude + longest) * longest / area2 + 2e-7;
  h.tilt = FloatUp(tilt);
  h.slack = FloatUp(tilt * longest);
  h.beyond = FloatUp(1e-3 * longest);
  return h;
}

std::unique_ptr<WeightTransferIndex> WeightTransferIndex::Build(const WeightTransferContext& ctx) {
  auto index = std::make_unique<WeightTransferIndex>();
  WeightTransferIndex& ix = *index;

  // Positions by point index, as the walk positions them (the point list holds every point
  // of the source's edges and polygons).
  const std::vector<SourcePointEntry>& list = ctx.sourcePointList;
  const size_t pointCount = list.size();
  const Int32 maxPoint = pointCount > 0 ? list.back().index : -1;
  std::vector<Int32> pointRank(static_cast<size_t>(maxPoint + 1), -1);
  ix.positions_.resize(static_cast<size_t>(maxPoint + 1));
  Float scale = 0.0;
  for (size_t k = 0; k < pointCount; ++k) {
    const Vector& p = list[k].position;
    if (!Usable(p)) return nullptr;
    scale = std::max(scale, MaxAbs(p));
    pointRank[static_cast<size_t>(list[k].index)] = static_cast<Int32>(k);
    ix.positions_[static_cast<size_t>(list[k].index)] = p;
  }
  ix.scale_ = scale;
  const auto listed = [&](Int32 i) {
    return i >= 0 && i <= maxPoint && pointRank[static_cast<size_t>(i)] >= 0;
  };

  // Where a polygon finds its edges: the first rank of the edges whose larger end is a
  // given index (the set orders edges by that end).
  const Bool surface = ctx.settings.surface && ctx.sourceObject;
  static const std::vector<Int64> kNoEdges;
  const std::vector<Int64>& edgeSet = surface ? ctx.sourceEdges : kNoEdges;
  const Int32 maxHigh = edgeSet.empty() ? -1 : EdgeKeyHigh(edgeSet.back());
  std::vector<Int32> edgeFirst(static_cast<size_t>(maxHigh + 2), 0);
  for (Int64 key : edgeSet) {
    if (!listed(EdgeKeyLow(key)) || !listed(EdgeKeyHigh(key))) return nullptr;
    ++edgeFirst[static_cast<size_t>(EdgeKeyHigh(key)) + 1];
  }
  for (size_t k = 1; k < edgeFirst.size(); ++k) edgeFirst[k] += edgeFirst[k - 1];
  const auto rankOfEdge = [&](Int32 p, Int32 q) {
    const Int32 lo = std::min(p, q), hi = std::max(p, q);
    for (Int32 r = edgeFirst[static_cast<size_t>(hi)]; r < edgeFirst[static_cast<size_t>(hi) + 1];
         ++r) {
      if (EdgeKeyLow(edgeSet[static_cast<size_t>(r)]) == lo) return r;
    }
    return -1;
  };
  ix.edgeBase_ = static_cast<Int64>(pointCount);
  ix.halfBase_ = ix.edgeBase_ + static_cast<Int64>(edgeSet.size());

  // The clusters: the polygons of a surface source, each owning its halves and those of its
  // corners and edges that no earlier cluster owns; every point of a points-only source.
  std::vector<Vector> centres;
  if (surface) {
    const CPolygon* polys = static_cast<const PolygonObject*>(ctx.sourceObject)->GetPolygonR();
    ix.polygons_.resize(ctx.sourcePolygons.size());
    centres.resize(ix.polygons_.size());
    for (size_t k = 0; k < ix.polygons_.size(); ++k) {
      const CPolygon& c = polys[ctx.sourcePolygons[k]];
      if (!listed(c.a) || !listed(c.b) || !listed(c.c) || !listed(c.d)) return nullptr;
      ix.polygons_[k] = {c, static_cast<Int32>(k)};
      centres[k] =
          (Min(Min(ix.Position(c.a), ix.Position(c.b)), Min(ix.Position(c.c), ix.Position(c.d))) +
           Max(Max(ix.Position(c.a), ix.Position(c.b)), Max(ix.Position(c.c), ix.Position(c.d)))) *
          0.5;
    }
  } else {
    centres.resize(pointCount);
    for (size_t k = 0; k < pointCount; ++k) centres[k] = list[k].position;
  }
  const size_t count = centres.size();
  if (count == 0) return pointCount == 0 ? std::move(index) : nullptr;

  // Clusters in Morton order of their box centres: neighbours in space are neighbours in
  // the array, so ranges of it have compact boxes.
  Box bounds;
  for (const Vector& c : centres) bounds.Add(c);
  const Vector extent = bounds.hi - bounds.lo;
  const auto quantise = [](Float v, Float lo, Float size) {
    const Float q = size > 0 ? (v - lo) / size * 2097151.0 : 0.0;
    return static_cast<UInt64>(std::clamp(q, 0.0, 2097151.0));
  };
  std::vector<std::pair<UInt64, Int32>> keys(count);
  for (size_t k = 0; k < count; ++k) {
    const Vector& c = centres[k];
    keys[k] = {SpreadBits(quantise(c.x, bounds.lo.x, extent.x)) |
                   SpreadBits(quantise(c.y, bounds.lo.y, extent.y)) << 1 |
                   SpreadBits(quantise(c.z, bounds.lo.z, extent.z)) << 2,
               static_cast<Int32>(k)};
  }
  std::vector<Vector>().swap(centres);
  SortByKey(&keys);

  // The elements in leaf order: each cluster brings what it owns.
  ix.points_.reserve(pointCount);
  ix.edges_.reserve(edgeSet.size());
  ix.edgeBounds_.reserve(edgeSet.size());
  ix.halves_.reserve(2 * ix.polygons_.size());
  ix.normals_.reserve(2 * ix.polygons_.size());
  std::vector<char> pointTaken(static_cast<size_t>(maxPoint + 1), 0);
  std::vector<char> edgeTaken(edgeSet.size(), 0);
  const auto emitPoint = [&](Int32 i, Box* box) {
    if (pointTaken[static_cast<size_t>(i)]) return;
    pointTaken[static_cast<size_t>(i)] = 1;
    ix.points_.push_back({ix.Position(i), i, pointRank[static_cast<size_t>(i)]});
    box->Add(ix.Position(i));
  };
  const auto emitEdge = [&](Int32 p, Int32 q) {
    const Int32 r = rankOfEdge(p, q);
    if (r < 0 || edgeTaken[static_cast<size_t>(r)]) return;
    edgeTaken[static_cast<size_t>(r)] = 1;
    const Int64 key = edgeSet[static_cast<size_t>(r)];
    const EdgeItem e{EdgeKeyLow(key), EdgeKeyHigh(key), r};
    ix.edges_.push_back(e);
    const Vector& e0 = ix.Position(e.i0);
    const Vector& e1 = ix.Position(e.i1);
    ix.edgeBounds_.push_back({(e0 + e1) * 0.5, 0.5 * (e1 - e0).GetLength() * (1.0 + 1e-12)});
  };
  const auto emitPolygon = [&](Int32 k, Box* box) {
    const PolygonItem& p = ix.polygons_[static_cast<size_t>(k)];
    const CPolygon& c = p.corners;
    const Bool quad = c.c != c.d;
    box->Add(ix.Position(c.a));
    box->Add(ix.Position(c.b));
    box->Add(ix.Position(c.c));
    box->Add(ix.Position(c.d));
    emitPoint(c.a, box);
    emitPoint(c.b, box);
    emitPoint(c.c, box);
    if (quad) emitPoint(c.d, box);
    emitEdge(c.a, c.b);
    emitEdge(c.b, c.c);
    emitEdge(c.c, quad ? c.d : c.a);
    if (quad) emitEdge(c.d, c.a);
    const Vector& a = ix.Position(c.a);
    for (Int32 h = 0; h < (quad ? 2 : 1); ++h) {
      const Vector& p1 = ix.Position(h == 0 ? c.b : c.c);
      const Vector& p2 = ix.Position(h == 0 ? c.c : c.d);
      WTPlane plane;
      Float area2;
      if (!WTMakePlane(a, p1, p2, &plane, &area2)) continue;  // a vanishing triangle: never taken
      ix.halves_.push_back(MakeHalf(plane, area2, p1, p2));
      ix.normals_.push_back(plane.normal);
      ix.halves_.back().polygon = k;
      ix.halves_.back().half = h;
      Box half;
      half.Add(a);
      half.Add(p1);
      half.Add(p2);
      const Float grow = kHalfGrowth * (half.hi - half.lo).GetLength();
      half.lo -= Vector(grow);
      half.hi += Vector(grow);
      box->Add(half);
    }
  };
  const auto emitLeaf = [&](size_t first, size_t n, Box* box) {
    ix.pointStart_.push_back(static_cast<Int32>(ix.points_.size()));
    ix.edgeStart_.push_back(static_cast<Int32>(ix.edges_.size()));
    ix.halfStart_.push_back(static_cast<Int32>(ix.halves_.size()));
    for (size_t k = first; k < first + n; ++k) {
      if (surface) {
        emitPolygon(keys[k].second, box);
      } else {
        emitPoint(list[static_cast<size_t>(keys[k].second)].index, box);
      }
    }
  };
  // The tree: ranges are split where the highest bit in which their codes differ changes,
  // so that each child covers one half of a Morton cell; a range of equal codes is halved.
  ix.nodes_.reserve(count / kLeafClusters + 1);
  const auto build = [&](auto&& self, size_t first, size_t n, Box* box) -> Int32 {
    if (n <= static_cast<size_t>(kLeafClusters)) {
      const Int32 leaf = static_cast<Int32>(ix.pointStart_.size());
      emitLeaf(first, n, box);
      return ~leaf;
    }
    const UInt64 a = keys[first].first, b = keys[first + n - 1].first;
    size_t half = n / 2;
    if (a != b) {
      const UInt64 bit = UInt64(1) << (63 - std::countl_zero(a ^ b));
      const auto begin = keys.begin() + static_cast<std::ptrdiff_t>(first);
      half = static_cast<size_t>(std::partition_point(begin, begin + static_cast<std::ptrdiff_t>(n),
                                                      [&](const std::pair<UInt64, Int32>& k) {
                                                        return (k.first & bit) == 0;
                                                      }) -
                                 begin);
    }
    const Int32 id = static_cast<Int32>(ix.nodes_.size());
    ix.nodes_.emplace_back();
    Box left, right;
    const Int32 l = self(self, first, half, &left);
    const Int32 r = self(self, first + half, n - half, &right);
    Node& node = ix.nodes_[static_cast<size_t>(id)];
    node.child[0] = l;
    node.child[1] = r;
    StoreBox(left, node.box[0]);
    StoreBox(right, node.box[1]);
    box->Add(left);
    box->Add(right);
    return id;
  };
  Box all;
  ix.root_ = build(build, 0, count, &all);
  StoreBox(all, ix.rootBox_);
  ix.pointStart_.push_back(static_cast<Int32>(ix.points_.size()));
  ix.edgeStart_.push_back(static_cast<Int32>(ix.edges_.size()));
  ix.halfStart_.push_back(static_cast<Int32>(ix.halves_.size()));
  // Every point and edge of a surface source is a polygon's (see the run's collection).
  if (ix.points_.size() != pointCount || ix.edges_.size() != edgeSet.size()) return nullptr;
  return index;
}

void WeightTransferIndex::SearchLeaf(Int32 leaf, const Vector& x, Best* best) const {
  const size_t l = static_cast<size_t>(leaf);
  // Halves first: on a surface the winner is mostly one, and its distance then passes over
  // most points and edges at their first test.
  for (Int32 k = halfStart_[l]; k < halfStart_[l + 1]; ++k) {
    const HalfItem& h = halves_[static_cast<size_t>(k)];
    const Vector r = x - h.origin;
    const Float r1 = std::abs(r.x) + std::abs(r.y) + std::abs(r.z);
    const auto dot = [&r](const float* n) { return n[0] * r.x + n[1] * r.y + n[2] * r.z; };
    // The distance to the projection is |offset| up to rounding far below the margin; the
    // single-precision normal is off by less than 1e-7 in each coordinate.
    if (std::abs(dot(h.normal)) > best->limit + 1e-7 * r1) continue;
    // Signed distances from the edge lines (positive inside), up to `error`.
    const Float error = h.slack + h.tilt * r1 + best->rounding;
    const Float in0 = dot(h.inward[0]), in1 = dot(h.inward[1]) - h.along[0],
                in2 = dot(h.inward[2]) - h.along[1];
    const Float outside = -(h.beyond + error);
    if (in0 < outside || in1 < outside || in2 < outside) continue;
    const WTPlane plane{h.origin, normals_[static_cast<size_t>(k)]};
    const Float offset = WTPlaneOffset(plane, x);
    const Vector proj = WTProject(plane, x, offset);
    const Float dist = WTDistance(x, proj);
    const PolygonItem& p = polygons_[static_cast<size_t>(h.polygon)];
    const Int64 order = halfBase_ + 2 * static_cast<Int64>(p.rank) + h.half;
    // The angle test is the costly part; run it only for a half that would win.
    if (!best->Beats(dist, order)) continue;
    const CPolygon& c = p.corners;
    const Vector& p1 = Position(h.half == 0 ? c.b : c.c);
    const Vector& p2 = Position(h.half == 0 ? c.c : c.d);
    // Well inside every edge line (far beyond the projection's own rounding off the plane),
    // the angles add up to pi and the angle test passes.
    const Bool inside = std::min({in0, in1, in2}) > 100.0 * error;
    Float b0, b1, b2;
    if (inside ? !WTTriangleWeights(h.origin, p1, p2, proj, &b0, &b1, &b2)
               : !WTInsideTriangleFast(h.origin, p1, p2, x, proj, &b0, &b1, &b2)) {
      continue;
    }
    best->Take(dist, order, Best::kHalf, k, leaf);
    best->b0 = b0;
    best->b1 = b1;
    best->b2 = b2;
  }
  for (Int32 k = pointStart_[l]; k < pointStart_[l + 1]; ++k) {
    const PointItem& p = points_[static_cast<size_t>(k)];
    if ((x - p.position).GetSquaredLength() > best->limit2) continue;
    const Float dist = WTDistance(x, p.position);
    if (best->Beats(dist, p.rank)) best->Take(dist, p.rank, Best::kPoint, k, leaf);
  }
  for (Int32 k = edgeStart_[l]; k < edgeStart_[l + 1]; ++k) {
    const EdgeBound& bound = edgeBounds_[static_cast<size_t>(k)];
    const Float reach = best->limit + bound.radius;
    if ((x - bound.centre).GetSquaredLength() > reach * reach) continue;
    const EdgeItem& e = edges_[static_cast<size_t>(k)];
    Float u;
    const Vector q = WTClosestOnSegment(WTMakeSegment(Position(e.i0), Position(e.i1)), x, &u);
    if ((x - q).GetSquaredLength() > best->limit2) continue;
    const Float dist = WTDistance(x, q);
    const Int64 order = edgeBase_ + e.rank;
    if (best->Beats(dist, order)) {
      best->Take(dist, order, Best::kEdge, k, leaf);
      best->u = u;
    }
  }
}

Bool WeightTransferIndex::FindNearest(const Vector& x, NearestSource* out, Int32* hint) const {
  if (!Usable(x)) return false;
  *out = NearestSource();
  const Int32 leaves = GetLeafCount();
  if (leaves <= 0) return true;

  Best best;
  best.margin = kMargin * (scale_ + MaxAbs(x)) + kMarginFloor;
  best.rounding = 1e-13 * (scale_ + MaxAbs(x));
  // The previous point's winner is usually near: searching its leaf first tightens the
  // bounds from the start. (Any leaf may come first; the result is the minimum either way.)
  const Int32 hinted = hint && *hint >= 0 && *hint < leaves ? *hint : -1;
  if (hinted >= 0) SearchLeaf(hinted, x, &best);

  struct Entry {
    Int32 child;
    Float bound2;
  };
  // A path down the tree is at most 63 Morton splits and 32 halvings long; each step leaves
  // at most one entry behind.
  Entry stack[128];
  Int32 top = 0;
  const Float rootBound = BoxDistance2(x, rootBox_);
  if (rootBound <= best.limit2) stack[top++] = {root_, rootBound};
  while (top > 0) {
    const Entry e = stack[--top];
    if (e.bound2 > best.limit2) continue;
    if (e.child < 0) {
      if (~e.child != hinted) SearchLeaf(~e.child, x, &best);
      continue;
    }
    const Node& node = nodes_[static_cast<size_t>(e.child)];
    const Float b0 = BoxDistance2(x, node.box[0]);
    const Float b1 = BoxDistance2(x, node.box[1]);
    // The nearer child goes on top, so it is searched first.
    const Int32 nearFirst = b0 <= b1 ? 0 : 1;
    const Float bNear = nearFirst == 0 ? b0 : b1, bFar = nearFirst == 0 ? b1 : b0;
    if (bFar <= best.limit2) stack[top++] = {node.child[1 - nearFirst], bFar};
    if (bNear <= best.limit2) stack[top++] = {node.child[nearFirst], bNear};
  }
  if (hint) *hint = best.leaf;
  return Answer(x, best, out);
}

Bool WeightTransferIndex::Answer(const Vector& x, const Best& best, NearestSource* out) const {
  switch (best.kind) {
    case Best::kNone:
      break;
    case Best::kPoint:
      out->kind = NearestSource::kPoint;
      out->point = points_[static_cast<size_t>(best.item)].index;
      break;
    case Best::kEdge: {
      const EdgeItem& edge = edges_[static_cast<size_t>(best.item)];
      out->kind = NearestSource::kEdge;
      out->e0 = edge.i0;
      out->e1 = edge.i1;
      out->u = best.u;
      break;
    }
    case Best::kHalf: {
      const HalfItem& h = halves_[static_cast<size_t>(best.item)];
      const CPolygon& c = polygons_[static_cast<size_t>(h.polygon)].corners;
      out->kind = NearestSource::kPolygon;
      out->polygon = c;
      out->half = h.half;
      const auto wholeHalf = [&](SurfaceHit* hit) {
        *hit = SurfaceHit();
        hit->b0 = best.b0;
        hit->b1 = best.b1;
        hit->b2 = best.b2;
        hit->flag = h.half == 0 ? 1 : 0;
      };
      wholeHalf(&out->hit);
      if (c.c != c.d && !WTSubCellSearchNear(Position(c.a), Position(c.b), Position(c.c),
                                             Position(c.d), h.half, x, &out->hit)) {
        WTPrintSubCellMiss();
        wholeHalf(&out->hit);
      }
      break;
    }
  }
  return true;
}
