#include "weighttransfer/wtspatialindex.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr Int32 kLeafSize = 4;
constexpr Float kCoordinateLimit = 1e100;
// Lower bounds are lowered by this fraction of the coordinate scale, far more than the
// rounding of any distance the searches compute.
constexpr Float kMargin = 1e-9;
// Growth of a half's box: the angle test accepts points within ~1.25e-5 of an edge length
// outside the triangle.
constexpr Float kHalfGrowth = 1e-4;

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

/// Squared distance from x to a box (0 inside).
Float BoxDistance2(const Vector& x, const Vector& lo, const Vector& hi) {
  const Float dx = std::max({lo.x - x.x, 0.0, x.x - hi.x});
  const Float dy = std::max({lo.y - x.y, 0.0, x.y - hi.y});
  const Float dz = std::max({lo.z - x.z, 0.0, x.z - hi.z});
  return dx * dx + dy * dy + dz * dz;
}

}  // namespace

std::unique_ptr<WeightTransferIndex> WeightTransferIndex::Build(const WeightTransferContext& ctx) {
  auto index = std::make_unique<WeightTransferIndex>();
  WeightTransferIndex& ix = *index;
  Float scale = 0.0;
  auto use = [&scale](const Vector& v) {
    scale = std::max(scale, MaxAbs(v));
    return Usable(v);
  };

  for (const SourcePointEntry& e : ctx.sourcePointList) {
    if (!use(e.position)) return nullptr;
    ix.points_.push_back({e.position, e.index});
  }
  if (ctx.settings.surface && ctx.sourceObject) {
    auto* source = static_cast<const PolygonObject*>(ctx.sourceObject);
    const Vector* pts = source->GetPointR();
    for (Int64 key : ctx.sourceEdges) {
      EdgeItem e;
      e.i0 = EdgeKeyLow(key);
      e.i1 = EdgeKeyHigh(key);
      e.e0 = WTSourcePosition(ctx, pts, e.i0);
      e.e1 = WTSourcePosition(ctx, pts, e.i1);
      if (!use(e.e0) || !use(e.e1)) return nullptr;
      ix.edges_.push_back(e);
    }
    const CPolygon* polys = source->GetPolygonR();
    for (Int32 polygon : ctx.sourcePolygons) {
      PolygonItem p;
      p.corners = polys[polygon];
      p.a = WTSourcePosition(ctx, pts, p.corners.a);
      p.b = WTSourcePosition(ctx, pts, p.corners.b);
      p.c = WTSourcePosition(ctx, pts, p.corners.c);
      p.d = WTSourcePosition(ctx, pts, p.corners.d);
      if (!use(p.a) || !use(p.b) || !use(p.c) || !use(p.d)) return nullptr;
      const Int32 rank = static_cast<Int32>(ix.polygons_.size());
      ix.polygons_.push_back(p);
      ix.halves_.push_back({rank, 0});
      if (p.corners.c != p.corners.d) ix.halves_.push_back({rank, 1});
    }
  }
  ix.scale_ = scale;

  const Int64 edgeBase = static_cast<Int64>(ix.points_.size());
  const Int64 halfBase = edgeBase + static_cast<Int64>(ix.edges_.size());
  ix.elements_.reserve(ix.points_.size() + ix.edges_.size() + ix.halves_.size());
  for (size_t k = 0; k < ix.points_.size(); ++k) {
    const Vector& p = ix.points_[k].position;
    ix.elements_.push_back({p, p, kPoint, static_cast<Int32>(k), static_cast<Int64>(k)});
  }
  for (size_t k = 0; k < ix.edges_.size(); ++k) {
    const EdgeItem& e = ix.edges_[k];
    ix.elements_.push_back({Min(e.e0, e.e1), Max(e.e0, e.e1), kEdge, static_cast<Int32>(k),
                            edgeBase + static_cast<Int64>(k)});
  }
  for (size_t k = 0; k < ix.halves_.size(); ++k) {
    const HalfItem& h = ix.halves_[k];
    const PolygonItem& p = ix.polygons_[static_cast<size_t>(h.polygon)];
    const Vector& p1 = h.half == 0 ? p.b : p.c;
    const Vector& p2 = h.half == 0 ? p.c : p.d;
    Vector lo = Min(Min(p.a, p1), p2), hi = Max(Max(p.a, p1), p2);
    const Float grow = kHalfGrowth * (hi - lo).GetLength();
    lo -= Vector(grow);
    hi += Vector(grow);
    // Within a polygon the first half comes before the second in the walk.
    ix.elements_.push_back({lo, hi, kHalf, static_cast<Int32>(k),
                            halfBase + 2 * static_cast<Int64>(h.polygon) + h.half});
  }

  if (!ix.elements_.empty()) {
    // Elements in Morton order of their box centres: neighbours in space are neighbours in
    // the array, so halving ranges of it gives a tree of compact boxes.
    const size_t count = ix.elements_.size();
    Vector clo = (ix.elements_[0].lo + ix.elements_[0].hi) * 0.5, chi = clo;
    for (const Element& e : ix.elements_) {
      const Vector c = (e.lo + e.hi) * 0.5;
      clo = Min(clo, c);
      chi = Max(chi, c);
    }
    const Vector extent = chi - clo;
    const auto quantise = [](Float v, Float lo, Float size) {
      const Float q = size > 0 ? (v - lo) / size * 2097151.0 : 0.0;
      return static_cast<UInt64>(std::clamp(q, 0.0, 2097151.0));
    };
    const auto spread = [](UInt64 v) {  // 21 bits to every third of 63
      v &= 0x1fffff;
      v = (v | v << 32) & 0x1f00000000ffffULL;
      v = (v | v << 16) & 0x1f0000ff0000ffULL;
      v = (v | v << 8) & 0x100f00f00f00f00fULL;
      v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
      v = (v | v << 2) & 0x1249249249249249ULL;
      return v;
    };
    std::vector<std::pair<UInt64, Int32>> keys(count);
    for (size_t k = 0; k < count; ++k) {
      const Element& e = ix.elements_[k];
      const Vector c = (e.lo + e.hi) * 0.5;
      const UInt64 code = spread(quantise(c.x, clo.x, extent.x)) |
                          spread(quantise(c.y, clo.y, extent.y)) << 1 |
                          spread(quantise(c.z, clo.z, extent.z)) << 2;
      keys[k] = {code, static_cast<Int32>(k)};
    }
    std::sort(keys.begin(), keys.end());
    std::vector<Element> sorted(count);
    for (size_t k = 0; k < count; ++k)
      sorted[k] = ix.elements_[static_cast<size_t>(keys[k].second)];
    ix.elements_.swap(sorted);
    std::vector<UInt64> codes(count);
    for (size_t k = 0; k < count; ++k) codes[k] = keys[k].first;
    ix.nodes_.reserve(2 * count / kLeafSize + 2);
    ix.BuildNode(0, static_cast<Int32>(count), codes);
  }
  return index;
}

Int32 WeightTransferIndex::BuildNode(Int32 first, Int32 count, const std::vector<UInt64>& codes) {
  const Int32 id = static_cast<Int32>(nodes_.size());
  nodes_.emplace_back();
  if (count <= kLeafSize) {
    Vector lo = elements_[static_cast<size_t>(first)].lo,
           hi = elements_[static_cast<size_t>(first)].hi;
    for (Int32 k = first + 1; k < first + count; ++k) {
      lo = Min(lo, elements_[static_cast<size_t>(k)].lo);
      hi = Max(hi, elements_[static_cast<size_t>(k)].hi);
    }
    Node& node = nodes_[static_cast<size_t>(id)];
    node.lo = lo;
    node.hi = hi;
    node.first = first;
    node.count = count;
    return id;
  }
  // Split where the highest bit in which the range's codes differ changes, so that each
  // child covers one half of a Morton cell; a range of equal codes is halved.
  const UInt64 a = codes[static_cast<size_t>(first)];
  const UInt64 b = codes[static_cast<size_t>(first + count - 1)];
  Int32 half = count / 2;
  if (a != b) {
    const UInt64 bit = UInt64(1) << (63 - std::countl_zero(a ^ b));
    const auto begin = codes.begin() + first;
    half = static_cast<Int32>(
        std::partition_point(begin, begin + count, [&](UInt64 c) { return (c & bit) == 0; }) -
        begin);
  }
  const Int32 left = BuildNode(first, half, codes);
  const Int32 right = BuildNode(first + half, count - half, codes);
  Node& node = nodes_[static_cast<size_t>(id)];
  node.left = left;
  node.right = right;
  node.lo = Min(nodes_[static_cast<size_t>(left)].lo, nodes_[static_cast<size_t>(right)].lo);
  node.hi = Max(nodes_[static_cast<size_t>(left)].hi, nodes_[static_cast<size_t>(right)].hi);
  return id;
}

Bool WeightTransferIndex::FindNearest(const Vector& x, NearestSource* out, Int32* hint) const {
  if (!Usable(x)) return false;
  *out = NearestSource();
  if (nodes_.empty()) return true;

  // Boxes are compared by squared distance against (best + margin)^2; squaring moves the
  // numbers by far less than the margin.
  const Float margin = kMargin * (scale_ + MaxAbs(x));
  Float bestDist = std::numeric_limits<Float>::infinity();
  Float limit2 = bestDist;
  Int64 bestOrder = std::numeric_limits<Int64>::max();
  const Element* best = nullptr;
  Float bestU = 0.0, b0 = 0.0, b1 = 0.0, b2 = 0.0;
  const auto take = [&](Float dist, Int64 order) {
    if (!(dist < bestDist || (dist == bestDist && order < bestOrder))) return false;
    bestDist = dist;
    bestOrder = order;
    limit2 = (dist + margin) * (dist + margin);
    return true;
  };
  const auto visit = [&](const Element& el) {
    if (BoxDistance2(x, el.lo, el.hi) > limit2) return;
    switch (el.kind) {
      case kPoint: {
        if (take(WTDistance(x, points_[static_cast<size_t>(el.item)].position), el.order)) {
          best = &el;
        }
        break;
      }
      case kEdge: {
        const EdgeItem& edge = edges_[static_cast<size_t>(el.item)];
        Float u;
        const Vector q = WTClosestOnSegment(edge.e0, edge.e1, x, &u);
        if (take(WTDistance(x, q), el.order)) {
          best = &el;
          bestU = u;
        }
        break;
      }
      case kHalf: {
        const HalfItem& h = halves_[static_cast<size_t>(el.item)];
        const PolygonItem& p = polygons_[static_cast<size_t>(h.polygon)];
        const Vector& p1 = h.half == 0 ? p.b : p.c;
        const Vector& p2 = h.half == 0 ? p.c : p.d;
        Vector proj;
        if (!WTProjectOnTriangle(p.a, p1, p2, x, &proj)) break;
        const Float dist = WTDistance(x, proj);
        // The inside test is the costly part; run it only for a half that would win.
        if (!(dist < bestDist || (dist == bestDist && el.order < bestOrder))) break;
        Float w0, w1, w2;
        if (!WTInsideTriangleFast(p.a, p1, p2, x, proj, &w0, &w1, &w2)) break;
        take(dist, el.order);
        best = &el;
        b0 = w0;
        b1 = w1;
        b2 = w2;
        break;
      }
    }
  };

  // The previous point's winner is usually near: trying it first tightens the search.
  // (Any element may be tried first; the result is the minimum either way.)
  if (hint && *hint >= 0 && *hint < static_cast<Int32>(elements_.size())) {
    visit(elements_[static_cast<size_t>(*hint)]);
  }

  struct Entry {
    Int32 node;
    Float bound2;
  };
  Entry stack[128];
  Int32 top = 0;
  stack[top++] = {0, BoxDistance2(x, nodes_[0].lo, nodes_[0].hi)};
  while (top > 0) {
    const Entry e = stack[--top];
    if (e.bound2 > limit2) continue;
    const Node& node = nodes_[static_cast<size_t>(e.node)];
    if (node.count == 0) {
      const Node& l = nodes_[static_cast<size_t>(node.left)];
      const Node& r = nodes_[static_cast<size_t>(node.right)];
      const Float bl = BoxDistance2(x, l.lo, l.hi);
      const Float br = BoxDistance2(x, r.lo, r.hi);
      // The nearer child goes on top, so it is searched first.
      if (bl <= br) {
        if (br <= limit2) stack[top++] = {node.right, br};
        if (bl <= limit2) stack[top++] = {node.left, bl};
      } else {
        if (bl <= limit2) stack[top++] = {node.left, bl};
        if (br <= limit2) stack[top++] = {node.right, br};
      }
      continue;
    }
    for (Int32 k = node.first; k < node.first + node.count; ++k) {
      visit(elements_[static_cast<size_t>(k)]);
    }
  }
  if (hint) *hint = best ? static_cast<Int32>(best - elements_.data()) : -1;

  if (!best) return true;
  switch (best->kind) {
    case kPoint:
      out->kind = NearestSource::kPoint;
      out->point = points_[static_cast<size_t>(best->item)].index;
      break;
    case kEdge: {
      const EdgeItem& edge = edges_[static_cast<size_t>(best->item)];
      out->kind = NearestSource::kEdge;
      out->e0 = edge.i0;
      out->e1 = edge.i1;
      out->u = bestU;
      break;
    }
    case kHalf: {
      const HalfItem& h = halves_[static_cast<size_t>(best->item)];
      const PolygonItem& p = polygons_[static_cast<size_t>(h.polygon)];
      out->kind = NearestSource::kPolygon;
      out->polygon = p.corners;
      out->half = h.half;
      SurfaceHit& hit = out->hit;
      hit = SurfaceHit();
      hit.b0 = b0;
      hit.b1 = b1;
      hit.b2 = b2;
      hit.flag = h.half == 0 ? 1 : 0;
      if (p.corners.c != p.corners.d && !WTSubCellSearchNear(p.a, p.b, p.c, p.d, h.half, x, &hit)) {
        WTPrintSubCellMiss();
        hit = SurfaceHit();
        hit.b0 = b0;
        hit.b1 = b1;
        hit.b2 = b2;
        hit.flag = h.half == 0 ? 1 : 0;
      }
      break;
    }
  }
  return true;
}
