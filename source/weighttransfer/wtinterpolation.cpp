#include "weighttransfer/wtinterpolation.h"

#include <algorithm>
#include <cmath>

#include "weighttransfer/wtspatialindex.h"

namespace {

// pi as the angle of opposite vectors (a single-precision pi widened to double) and as the
// expected angle sum of a point inside a triangle.
constexpr Float kPiOpposite = 3.1415927410125732;
constexpr Float kPiSum = 3.141592653589793;
constexpr Float kInsideTolerance = 1e-4;

Float Angle(const Vector& u, const Vector& v) {
  const Float c = Dot(u.GetNormalized(), v.GetNormalized());
  if (c >= 1.0) return 0.0;
  if (c <= -1.0) return kPiOpposite;
  return std::acos(c);
}

Float Clamp01(Float v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

/// Bilinear blend of the corner values at (s, t) of the parameter square.
Float Bilinear(Float s, Float t, Float va, Float vb, Float vc, Float vd) {
  return (1.0 - s) * (1.0 - t) * va + s * (1.0 - t) * vb + s * t * vc + (1.0 - s) * t * vd;
}

/// The edge vectors of a half's parameterisation: the point at (s, t) lies at
/// a + s·es + t·et for the first half (a, b, c) and a + t·et + s·es for the second (a, c, d).
void HalfAxes(const Vector& a, const Vector& b, const Vector& c, const Vector& d, Int32 half,
              Vector* es, Vector* et) {
  if (half == 0) {
    *es = b - a;
    *et = c - b;
  } else {
    *es = c - d;
    *et = d - a;
  }
}

/// Tests cell (i, j) of a half; on success fills the hit.
Bool TestCell(const Vector& a, const Vector& es, const Vector& et, Int32 half, Int32 i, Int32 j,
              const Vector& x, SurfaceHit* hit) {
  const Float s = static_cast<Float>(j) / WT_SUBCELLS;
  const Float t = static_cast<Float>(i) / WT_SUBCELLS;
  const Vector c00 = half == 0 ? a + es * s + et * t : a + et * t + es * s;
  const Vector c10 = c00 + es / static_cast<Float>(WT_SUBCELLS);
  const Vector c11 = c10 + et / static_cast<Float>(WT_SUBCELLS);
  const Vector c01 = c00 + et / static_cast<Float>(WT_SUBCELLS);
  Vector proj;
  Float b0, b1, b2;
  Int32 flag;
  if (WTTriangleTest(c00, c10, c11, x, &proj, &b0, &b1, &b2)) {
    flag = 1;
  } else if (WTTriangleTest(c00, c11, c01, x, &proj, &b0, &b1, &b2)) {
    flag = 0;
  } else {
    return false;
  }
  hit->b0 = b0;
  hit->b1 = b1;
  hit->b2 = b2;
  hit->s0 = s;
  hit->t0 = t;
  hit->h = 1.0 / WT_SUBCELLS;
  hit->flag = flag;
  return true;
}

/// The cells of row i (t index) that a half visits: [from, to].
void RowRange(Int32 half, Int32 i, Int32* from, Int32* to) {
  if (half == 0) {
    *from = std::max(0, i - 2);
    *to = WT_SUBCELLS - 1;
  } else {
    *from = 0;
    *to = std::min(i + 2, WT_SUBCELLS) - 1;
  }
}

/// Takes a polygon half into the exhaustive walk's result when it comes strictly closer.
void TakeHalf(const Vector& A, const Vector& B, const Vector& C, const Vector& D,
              const CPolygon& poly, Int32 half, const Vector& x, Float* best, NearestSource* out) {
  const Vector& p1 = half == 0 ? B : C;
  const Vector& p2 = half == 0 ? C : D;
  Vector proj;
  Float b0, b1, b2;
  if (!WTTriangleTest(A, p1, p2, x, &proj, &b0, &b1, &b2)) return;
  const Float dist = WTDistance(x, proj);
  if (!(*best < 0.0 || dist < *best)) return;
  SurfaceHit hit;
  hit.b0 = b0;
  hit.b1 = b1;
  hit.b2 = b2;
  hit.flag = half == 0 ? 1 : 0;
  if (poly.c != poly.d && !WTSubCellSearchAll(A, B, C, D, half, x, &hit)) {
    WTPrintSubCellMiss();
    hit.b0 = b0;
    hit.b1 = b1;
    hit.b2 = b2;
    hit.s0 = hit.t0 = 0.0;
    hit.h = 1.0;
    hit.flag = half == 0 ? 1 : 0;
  }
  out->kind = NearestSource::kPolygon;
  out->polygon = poly;
  out->half = half;
  out->hit = hit;
  *best = dist;
}

}  // namespace

void WTPrintSubCellMiss() {
  GePrint(String("ウェイト転送：細分化判定でポリゴン外になりました。\n"));
}

Vector WTClosestOnSegment(const Vector& e0, const Vector& e1, const Vector& x, Float* u) {
  const Vector v = e1 - e0;
  if (v.GetLength() < WT_EPSILON) {
    *u = 0.0;
    return e0;
  }
  const Float t = Dot(v, x - e0) / v.GetSquaredLength();
  if (t <= 0.0) {
    *u = 0.0;
    return e0;
  }
  if (t >= 1.0) {
    *u = 1.0;
    return e1;
  }
  *u = t;
  return e0 + v * t;
}

Bool WTProjectOnTriangle(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                         Vector* projection) {
  Vector n = Cross(p1 - p0, p2 - p0);
  if (n.GetLength() < WT_EPSILON) return false;
  n = n.GetNormalized();
  *projection = x - n * Dot(x - p0, n);
  return true;
}

Bool WTInsideTriangle(const Vector& p0, const Vector& p1, const Vector& p2,
                      const Vector& projection, Float* b0, Float* b1, Float* b2) {
  const Vector& xp = projection;
  // At a corner the angles are undefined; the point is on the triangle.
  if (xp != p0 && xp != p1 && xp != p2) {
    const Float sum = Angle(xp - p0, p1 - p0) + Angle(xp - p0, p2 - p0) + Angle(xp - p1, p0 - p1) +
                      Angle(xp - p1, p2 - p1) + Angle(xp - p2, p0 - p2) + Angle(xp - p2, p1 - p2);
    if (sum - kPiSum > kInsideTolerance) return false;
  }
  const Float a0 = Cross(xp - p1, xp - p2).GetLength();
  const Float a1 = Cross(xp - p0, xp - p2).GetLength();
  const Float a2 = Cross(xp - p0, xp - p1).GetLength();
  const Float total = a0 + a1 + a2;
  if (total < WT_EPSILON) return false;
  *b0 = a0 / total;
  *b1 = a1 / total;
  *b2 = 1.0 - (*b0 + *b1);
  return true;
}

Bool WTTriangleTest(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                    Vector* projection, Float* b0, Float* b1, Float* b2) {
  return WTProjectOnTriangle(p0, p1, p2, x, projection) &&
         WTInsideTriangle(p0, p1, p2, *projection, b0, b1, b2);
}

Bool WTSubCellSearchAll(const Vector& a, const Vector& b, const Vector& c, const Vector& d,
                        Int32 half, const Vector& x, SurfaceHit* hit) {
  Vector es, et;
  HalfAxes(a, b, c, d, half, &es, &et);
  for (Int32 i = 0; i < WT_SUBCELLS; ++i) {
    Int32 from, to;
    RowRange(half, i, &from, &to);
    for (Int32 j = from; j <= to; ++j) {
      if (TestCell(a, es, et, half, i, j, x, hit)) return true;
    }
  }
  return false;
}

Bool WTSubCellSearchNear(const Vector& a, const Vector& b, const Vector& c, const Vector& d,
                         Int32 half, const Vector& x, SurfaceHit* hit) {
  Vector es, et;
  HalfAxes(a, b, c, d, half, &es, &et);
  // Parameters (s, t) of the projection of x onto the half's plane, by least squares.
  const Vector r = x - a;
  const Float ss = Dot(es, es), st = Dot(es, et), tt = Dot(et, et);
  const Float det = ss * tt - st * st;
  const Float lmin = 0.5 * (ss + tt) - std::sqrt(0.25 * (ss - tt) * (ss - tt) + st * st);
  if (!(det > 0.0) || !(lmin > 1e-12 * (ss + tt))) {
    return WTSubCellSearchAll(a, b, c, d, half, x, hit);
  }
  const Float rs = Dot(es, r), rt = Dot(et, r);
  const Float s = (tt * rs - st * rt) / det;
  const Float t = (ss * rt - st * rs) / det;
  const Float sigma = std::sqrt(lmin);
  const Float rl = r.GetLength();
  const Float axes = std::sqrt(ss + tt);
  // A cell whose sub-triangles lie farther from the projection than half the cell's
  // diagonal sees it under at most a right angle, so the angle test fails by about pi, far
  // beyond its 1e-4 tolerance. In parameter units that distance is at least `reach`; the
  // slack covers the rounding of (s, t), of the cell corners and of each cell's own plane.
  constexpr Float kEps = 2.220446049250313e-16;
  const Float slack =
      1e-6 +
      1e3 * kEps *
          (rl * axes * (ss + tt) / det + (ss * tt / det) * (std::abs(s) + std::abs(t) + 1.0) +
           (a.GetLength() + rl + axes) / sigma) +
      1e-9 * rl / sigma;
  const Float reach = slack + 0.5 * (std::sqrt(ss) + std::sqrt(tt)) / (WT_SUBCELLS * sigma);
  if (!std::isfinite(s) || !std::isfinite(t) || !(reach < 2.0)) {
    return WTSubCellSearchAll(a, b, c, d, half, x, hit);
  }
  const auto cellIndex = [](Float v) {
    return static_cast<Int32>(std::floor(std::clamp(v, -4.0, 4.0) * WT_SUBCELLS));
  };
  const Int32 iLo = std::max(0, cellIndex(t - reach) - 1);
  const Int32 iHi = std::min(WT_SUBCELLS - 1, cellIndex(t + reach) + 1);
  const Int32 jLo = cellIndex(s - reach) - 1;
  const Int32 jHi = cellIndex(s + reach) + 1;
  for (Int32 i = iLo; i <= iHi; ++i) {
    Int32 from, to;
    RowRange(half, i, &from, &to);
    from = std::max(from, jLo);
    to = std::min(to, jHi);
    for (Int32 j = from; j <= to; ++j) {
      if (TestCell(a, es, et, half, i, j, x, hit)) return true;
    }
  }
  return false;
}

void WTFindNearestExhaustive(const WeightTransferContext& ctx, const Vector& x,
                             NearestSource* out) {
  *out = NearestSource();
  Float best = -1.0;
  for (const SourcePointEntry& e : ctx.sourcePointList) {
    const Float dist = WTDistance(x, e.position);
    if (best < 0.0 || best > dist) {
      best = dist;
      out->kind = NearestSource::kPoint;
      out->point = e.index;
    }
  }
  if (!ctx.settings.surface) return;

  auto* source = static_cast<const PolygonObject*>(ctx.sourceObject);
  const Vector* points = source->GetPointR();
  for (Int64 key : ctx.sourceEdges) {
    const Int32 i0 = EdgeKeyLow(key), i1 = EdgeKeyHigh(key);
    const Vector e0 = WTSourcePosition(ctx, points, i0);
    const Vector e1 = WTSourcePosition(ctx, points, i1);
    Float u;
    const Vector q = WTClosestOnSegment(e0, e1, x, &u);
    const Float dist = WTDistance(x, q);
    if (best < 0.0 || best > dist) {
      best = dist;
      out->kind = NearestSource::kEdge;
      out->e0 = i0;
      out->e1 = i1;
      out->u = u;
    }
  }

  const CPolygon* polygons = source->GetPolygonR();
  for (Int32 index : ctx.sourcePolygons) {
    const CPolygon& poly = polygons[index];
    const Vector A = WTSourcePosition(ctx, points, poly.a);
    const Vector B = WTSourcePosition(ctx, points, poly.b);
    const Vector C = WTSourcePosition(ctx, points, poly.c);
    const Vector D = WTSourcePosition(ctx, points, poly.d);
    TakeHalf(A, B, C, D, poly, 0, x, &best, out);
    if (poly.c != poly.d) TakeHalf(A, B, C, D, poly, 1, x, &best, out);
  }
}

WTWorkerValues WTReadWorkerValues(const WeightTransferContext& ctx) {
  WTWorkerValues v;
  v.targetMg = ctx.targetObject->GetMg();
  v.targetJointCount = ctx.targetTag->GetJointCount();
  return v;
}

void ProcessTargetPoint(const WeightTransferContext& ctx, Int32 p) {
  ProcessTargetPoint(ctx, WTReadWorkerValues(ctx), p);
}

void ProcessTargetPoint(const WeightTransferContext& ctx, const WTWorkerValues& worker, Int32 p) {
  auto* target = static_cast<const PolygonObject*>(ctx.targetObject);
  const Vector& local = target->GetPointR()[p];
  const Vector x = ctx.settings.localCoordinates ? local : worker.targetMg * local;

  NearestSource src;
  if (!ctx.index || !ctx.index->FindNearest(x, &src)) WTFindNearestExhaustive(ctx, x, &src);
  if (src.kind == NearestSource::kNone) return;

  const CAWeightTag* weights = ctx.sourceWeights;
  CAWeightTag* tag = ctx.targetTag;
  const Int32 jointCount = worker.targetJointCount;
  for (Int32 j = 0; j < jointCount; ++j) {
    const Int32 k = j < static_cast<Int32>(ctx.jointMap.size()) ? ctx.jointMap[j] : -1;
    if (k < 0) {
      if (ctx.settings.clearUnmatched) tag->SetWeight(j, p, 0.0);
      continue;
    }
    const auto w = [&](Int32 index) { return weights->GetWeight(k, index); };
    Float r = 0.0;
    switch (src.kind) {
      case NearestSource::kPolygon: {
        const CPolygon& poly = src.polygon;
        const SurfaceHit& hit = src.hit;
        if (poly.c == poly.d) {
          r = hit.b0 * w(poly.a) + hit.b1 * w(poly.b) + hit.b2 * w(poly.c);
          break;
        }
        const Float va = w(poly.a), vb = w(poly.b), vc = w(poly.c), vd = w(poly.d);
        const Float s0 = Clamp01(hit.s0), t0 = Clamp01(hit.t0);
        const Float s1 = Clamp01(hit.s0 + hit.h), t1 = Clamp01(hit.t0 + hit.h);
        if (hit.flag == 1) {
          r = hit.b0 * Bilinear(s0, t0, va, vb, vc, vd) +
              hit.b1 * Bilinear(s1, t0, va, vb, vc, vd) + hit.b2 * Bilinear(s1, t1, va, vb, vc, vd);
        } else {
          r = hit.b0 * Bilinear(s0, t0, va, vb, vc, vd) +
              hit.b1 * Bilinear(s1, t1, va, vb, vc, vd) + hit.b2 * Bilinear(s0, t1, va, vb, vc, vd);
        }
        break;
      }
      case NearestSource::kEdge:
        r = (1.0 - src.u) * w(src.e0) + src.u * w(src.e1);
        break;
      case NearestSource::kPoint:
        r = w(src.point);
        break;
      case NearestSource::kNone:
        break;
    }
    switch (ctx.settings.writeMode) {
      case WRITEMODE_REPLACE:
        tag->SetWeight(j, p, r);
        break;
      case WRITEMODE_REPLACE_ABOVE_THRESHOLD:
        if (r > WT_EPSILON) tag->SetWeight(j, p, r);
        break;
      case WRITEMODE_ADD:
        tag->SetWeight(j, p, tag->GetWeight(j, p) + r);
        break;
      default:
        break;
    }
  }

  if (ctx.settings.normalize) {
    Float sum = 0.0;
    for (Int32 j = 0; j < jointCount; ++j) sum += tag->GetWeight(j, p);
    const Float f = std::abs(sum) > WT_EPSILON ? 1.0 / sum : 0.0;
    for (Int32 j = 0; j < jointCount; ++j) tag->SetWeight(j, p, tag->GetWeight(j, p) * f);
  }
}
