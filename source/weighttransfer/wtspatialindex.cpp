#include "weighttransfer/wtspatialindex.h"

#include <algorithm>
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

Float BoxDistance(const Vector& x, const Vector& lo, const Vector& hi) {
  const Float dx = std::max({lo.x - x.x, 0.0, x.x - hi.x});
  const Float dy = std::max({lo.y - x.y, 0.0, x.y - hi.y});
  const Float dz = std::max({lo.z - x.z, 0.0, x.z - hi.z});
  return std::sqrt(dx * dx + dy * dy + dz * dz);
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
    const size_t count = ix.elements_.size();
    std::vector<Vector> centroids(count);
    std::vector<Int32> order(count);
    for (size_t k = 0; k < count; ++k) {
      centroids[k] = (ix.elements_[k].lo + ix.elements_[k].hi) * 0.5;
      order[k] = static_cast<Int32>(k);
    }
    ix.nodes_.reserve(2 * count / kLeafSize + 1);
    ix.BuildNode(0, static_cast<Int32>(count), centroids, order);
    // Leaves refer to ranges of the build order: store the elements in that order.
    std::vector<Element> sorted(count);
    for (size_t k = 0; k < count; ++k) sorted[k] = ix.elements_[static_cast<size_t>(order[k])];
    ix.elements_.swap(sorted);
  }
  return index;
}

Int32 WeightTransferIndex::BuildNode(Int32 first, Int32 count, const std::vector<Vector>& centroids,
                                     std::vector<Int32>& order) {
  const Int32 id = static_cast<Int32>(nodes_.size());
  nodes_.emplace_back();
  const auto element = [&](Int32 k) -> const Element& {
    return elements_[static_cast<size_t>(order[static_cast<size_t>(k)])];
  };
  const auto centroid = [&](Int32 k) -> const Vector& {
    return centroids[static_cast<size_t>(order[static_cast<size_t>(k)])];
  };
  Vector lo = element(first).lo, hi = element(first).hi;
  Vector clo = centroid(first), chi = clo;
  for (Int32 k = first + 1; k < first + count; ++k) {
    lo = Min(lo, element(k).lo);
    hi = Max(hi, element(k).hi);
    clo = Min(clo, centroid(k));
    chi = Max(chi, centroid(k));
  }
  nodes_[static_cast<size_t>(id)].lo = lo;
  nodes_[static_cast<size_t>(id)].hi = hi;
  const Vector extent = chi - clo;
  if (count <= kLeafSize || (extent.x == 0 && extent.y == 0 && extent.z == 0)) {
    nodes_[static_cast<size_t>(id)].first = first;
    nodes_[static_cast<size_t>(id)].count = count;
    return id;
  }
  const Int32 axis =
      extent.x >= extent.y && extent.x >= extent.z ? 0 : (extent.y >= extent.z ? 1 : 2);
  const auto key = [&](Int32 e) {
    const Vector& c = centroids[static_cast<size_t>(e)];
    return axis == 0 ? c.x : (axis == 1 ? c.y : c.z);
  };
  const Int32 half = count / 2;
  const auto begin = order.begin() + first;
  std::nth_element(begin, begin + half, begin + count, [&](Int32 a, Int32 b) {
    const Float ka = key(a), kb = key(b);
    return ka < kb || (ka == kb && a < b);
  });
  const Int32 left = BuildNode(first, half, centroids, order);
  const Int32 right = BuildNode(first + half, count - half, centroids, order);
  nodes_[static_cast<size_t>(id)].left = left;
  nodes_[static_cast<size_t>(id)].right = right;
  return id;
}

Bool WeightTransferIndex::FindNearest(const Vector& x, NearestSource* out) const {
  if (!Usable(x)) return false;
  *out = NearestSource();
  if (nodes_.empty()) return true;

  const Float margin = kMargin * (scale_ + MaxAbs(x));
  Float bestDist = std::numeric_limits<Float>::infinity();
  Int64 bestOrder = std::numeric_limits<Int64>::max();
  const Element* best = nullptr;
  Float bestU = 0.0, b0 = 0.0, b1 = 0.0, b2 = 0.0;
  const auto better = [&](Float dist, Int64 order) {
    return dist < bestDist || (dist == bestDist && order < bestOrder);
  };

  struct Entry {
    Int32 node;
    Float bound;
  };
  Entry stack[128];
  Int32 top = 0;
  stack[top++] = {0, BoxDistance(x, nodes_[0].lo, nodes_[0].hi) - margin};
  while (top > 0) {
    const Entry e = stack[--top];
    if (e.bound > bestDist) continue;
    const Node& node = nodes_[static_cast<size_t>(e.node)];
    if (node.count == 0) {
      const Node& l = nodes_[static_cast<size_t>(node.left)];
      const Node& r = nodes_[static_cast<size_t>(node.right)];
      const Float bl = BoxDistance(x, l.lo, l.hi) - margin;
      const Float br = BoxDistance(x, r.lo, r.hi) - margin;
      // The nearer child goes on top, so it is searched first.
      if (bl <= br) {
        if (br <= bestDist) stack[top++] = {node.right, br};
        if (bl <= bestDist) stack[top++] = {node.left, bl};
      } else {
        if (bl <= bestDist) stack[top++] = {node.left, bl};
        if (br <= bestDist) stack[top++] = {node.right, br};
      }
      continue;
    }
    for (Int32 k = node.first; k < node.first + node.count; ++k) {
      const Element& el = elements_[static_cast<size_t>(k)];
      if (BoxDistance(x, el.lo, el.hi) - margin > bestDist) continue;
      switch (el.kind) {
        case kPoint: {
          const Float dist = WTDistance(x, points_[static_cast<size_t>(el.item)].position);
          if (better(dist, el.order)) {
            bestDist = dist;
            bestOrder = el.order;
            best = &el;
          }
          break;
        }
        case kEdge: {
          const EdgeItem& edge = edges_[static_cast<size_t>(el.item)];
          Float u;
          const Vector q = WTClosestOnSegment(edge.e0, edge.e1, x, &u);
          const Float dist = WTDistance(x, q);
          if (better(dist, el.order)) {
            bestDist = dist;
            bestOrder = el.order;
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
          // The angle test is the costly part; run it only for a half that would win.
          if (!better(dist, el.order)) break;
          Float w0, w1, w2;
          if (!WTInsideTriangleFast(p.a, p1, p2, x, proj, &w0, &w1, &w2)) break;
          bestDist = dist;
          bestOrder = el.order;
          best = &el;
          b0 = w0;
          b1 = w1;
          b2 = w2;
          break;
        }
      }
    }
    // Depth is bounded by the median split: 2 * log2(elements) stays far below the stack.
  }

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
