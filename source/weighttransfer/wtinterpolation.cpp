#include "weighttransfer/wtinterpolation.h"

#include <algorithm>
#include <cmath>

#include "weighttransfer/wtspatialindex.h"

namespace {

Float Clamp01(Float v) { return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v); }

/// Bilinear blend of the corner values at (s, t) of the parameter square.
Float Bilinear(Float s, Float t, Float va, Float vb, Float vc, Float vd) {
  return (1.0 - s) * (1.0 - t) * va + s * (1.0 - t) * vb + s * t * vc + (1.0 - s) * t * vd;
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
  WTWorkerValues worker = WTReadWorkerValues(ctx);
  ProcessTargetPoint(ctx, worker, p);
}

void ProcessTargetPoint(const WeightTransferContext& ctx, WTWorkerValues& worker, Int32 p) {
  auto* target = static_cast<const PolygonObject*>(ctx.targetObject);
  const Vector& local = target->GetPointR()[p];
  const Vector x = ctx.settings.localCoordinates ? local : worker.targetMg * local;

  NearestSource src;
  if (!ctx.index || !ctx.index->FindNearest(x, &src, &worker.searchHint)) {
    WTFindNearestExhaustive(ctx, x, &src);
  }
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
    // Only this call writes point p, so the weights read for the sum are still those to
    // scale: they are kept when they fit (no allocation in a worker), else read again.
    constexpr Int32 kKept = 64;
    Float kept[kKept];
    Float sum = 0.0;
    for (Int32 j = 0; j < jointCount; ++j) {
      const Float w = tag->GetWeight(j, p);
      if (j < kKept) kept[j] = w;
      sum += w;
    }
    const Float f = std::abs(sum) > WT_EPSILON ? 1.0 / sum : 0.0;
    for (Int32 j = 0; j < jointCount; ++j)
      tag->SetWeight(j, p, (j < kKept ? kept[j] : tag->GetWeight(j, p)) * f);
  }
}
