#include "weighttransfer/wtgeometry.h"

#include <algorithm>
#include <cmath>

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

/// Tests cell (i, j) of a half (its sub-triangle (00, 10, 11) only if `first`, (00, 11, 01)
/// only if `second`); on success fills the hit. With `sure`, the one sub-triangle asked for
/// is known to contain the projection, so only its weights are computed.
Bool TestCell(const Vector& a, const Vector& es, const Vector& et, Int32 half, Int32 i, Int32 j,
              const Vector& x, Bool fast, Bool first, Bool second, SurfaceHit* hit,
              Bool sure = false) {
  const Float s = static_cast<Float>(j) / WT_SUBCELLS;
  const Float t = static_cast<Float>(i) / WT_SUBCELLS;
  const Vector c00 = half == 0 ? a + es * s + et * t : a + et * t + es * s;
  const Vector c10 = c00 + es / static_cast<Float>(WT_SUBCELLS);
  const Vector c11 = c10 + et / static_cast<Float>(WT_SUBCELLS);
  const Vector c01 = c00 + et / static_cast<Float>(WT_SUBCELLS);
  Vector proj;
  Float b0, b1, b2;
  Int32 flag;
  const auto test = fast ? WTTriangleTestFast : WTTriangleTest;
  if (sure) {
    // The projection lies well inside the sub-triangle: its angle test passes.
    const Vector& p1 = first ? c10 : c11;
    const Vector& p2 = first ? c11 : c01;
    if (!WTProjectOnTriangle(c00, p1, p2, x, &proj) ||
        !WTTriangleWeights(c00, p1, p2, proj, &b0, &b1, &b2)) {
      return false;
    }
    flag = first ? 1 : 0;
  } else if (first && test(c00, c10, c11, x, &proj, &b0, &b1, &b2)) {
    flag = 1;
  } else if (second && test(c00, c11, c01, x, &proj, &b0, &b1, &b2)) {
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

}  // namespace

void WTPrintSubCellMiss() {
  GePrint(String("ウェイト転送：細分化判定でポリゴン外になりました。\n"));
}

namespace {

/// The angle-sum test: false when the projection lies outside (beyond the tolerance).
Bool AngleSumInside(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& xp) {
  // At a corner the angles are undefined; the point is on the triangle.
  if (xp == p0 || xp == p1 || xp == p2) return true;
  const Float sum = Angle(xp - p0, p1 - p0) + Angle(xp - p0, p2 - p0) + Angle(xp - p1, p0 - p1) +
                    Angle(xp - p1, p2 - p1) + Angle(xp - p2, p0 - p2) + Angle(xp - p2, p1 - p2);
  return !(sum - kPiSum > kInsideTolerance);
}

Bool Barycentric(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& xp, Float* b0,
                 Float* b1, Float* b2) {
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

enum Clear { kClearInside, kClearOutside, kUnclear };

/// Decides the angle-sum test without the angles where its answer is certain.
///
/// The six angles add up to 3π minus the angles under which the point sees the three edges,
/// so a point inside the triangle gives π exactly and a point outside gives π plus twice
/// (π − the largest angle an edge subtends). Passing the 1e-4 tolerance outside therefore
/// needs an edge seen under more than π − 5e-5: the point must lie within 1.25e-5 of that
/// edge's length from it. So a point clearly inside (every signed distance to an edge line
/// positive beyond rounding) passes, and a point beyond an edge line by more than 1e-4 of the
/// longest edge fails; the acos rounding (< 1e-7 in all) cannot change either answer. The
/// projection's own rounding leaves it slightly off the plane; the margins cover the effect
/// of that offset on the angles many times over.
Clear ClassifyClear(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                    const Vector& xp) {
  const Vector normal = Cross(p1 - p0, p2 - p0);
  const Float area2 = normal.GetLength();
  const Vector d0 = p0 - xp, d1 = p1 - xp, d2 = p2 - xp;
  const Float l0 = (p2 - p1).GetLength(), l1 = (p0 - p2).GetLength(), l2 = (p1 - p0).GetLength();
  const Float reach = std::max({d0.GetLength(), d1.GetLength(), d2.GetLength()});
  const auto maxAbs = [](const Vector& v) {
    return std::max({std::abs(v.x), std::abs(v.y), std::abs(v.z)});
  };
  const Float magnitude = std::max({maxAbs(p0), maxAbs(p1), maxAbs(p2), maxAbs(xp)});
  // Bounds, far above the rounding of the quantities they cover.
  const Float offPlane = 1e-13 * ((x - xp).GetLength() + maxAbs(x) + magnitude);
  const Float slack = 1e5 * offPlane + 1e-140;
  const Float roundArea = 1e-13 * (reach + magnitude) * reach;
  // Signed distances of the projection from the edge lines (positive inside).
  const Float h0 = Dot(normal, Cross(d1, d2)) / area2 / l0;
  const Float h1 = Dot(normal, Cross(d2, d0)) / area2 / l1;
  const Float h2 = Dot(normal, Cross(d0, d1)) / area2 / l2;
  const Float e0 = roundArea / l0 + slack, e1 = roundArea / l1 + slack, e2 = roundArea / l2 + slack;
  if (h0 > e0 && h1 > e1 && h2 > e2) return kClearInside;
  const Float beyond = 1e-4 * std::max({l0, l1, l2});
  if (h0 < -(beyond + e0) || h1 < -(beyond + e1) || h2 < -(beyond + e2)) return kClearOutside;
  return kUnclear;
}

}  // namespace

Bool WTTriangleWeights(const Vector& p0, const Vector& p1, const Vector& p2,
                       const Vector& projection, Float* b0, Float* b1, Float* b2) {
  return Barycentric(p0, p1, p2, projection, b0, b1, b2);
}

Bool WTInsideTriangle(const Vector& p0, const Vector& p1, const Vector& p2,
                      const Vector& projection, Float* b0, Float* b1, Float* b2) {
  return AngleSumInside(p0, p1, p2, projection) && Barycentric(p0, p1, p2, projection, b0, b1, b2);
}

Bool WTInsideTriangleFast(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                          const Vector& projection, Float* b0, Float* b1, Float* b2) {
  switch (ClassifyClear(p0, p1, p2, x, projection)) {
    case kClearInside:
      break;
    case kClearOutside:
      return false;
    case kUnclear:
      if (!AngleSumInside(p0, p1, p2, projection)) return false;
      break;
  }
  return Barycentric(p0, p1, p2, projection, b0, b1, b2);
}

Bool WTTriangleTest(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                    Vector* projection, Float* b0, Float* b1, Float* b2) {
  return WTProjectOnTriangle(p0, p1, p2, x, projection) &&
         WTInsideTriangle(p0, p1, p2, *projection, b0, b1, b2);
}

Bool WTTriangleTestFast(const Vector& p0, const Vector& p1, const Vector& p2, const Vector& x,
                        Vector* projection, Float* b0, Float* b1, Float* b2) {
  return WTProjectOnTriangle(p0, p1, p2, x, projection) &&
         WTInsideTriangleFast(p0, p1, p2, x, *projection, b0, b1, b2);
}

Bool WTSubCellSearchAll(const Vector& a, const Vector& b, const Vector& c, const Vector& d,
                        Int32 half, const Vector& x, SurfaceHit* hit) {
  Vector es, et;
  HalfAxes(a, b, c, d, half, &es, &et);
  for (Int32 i = 0; i < WT_SUBCELLS; ++i) {
    Int32 from, to;
    RowRange(half, i, &from, &to);
    for (Int32 j = from; j <= to; ++j) {
      if (TestCell(a, es, et, half, i, j, x, false, true, true, hit)) return true;
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
  // A cell whose sub-triangles lie farther from the projection than 1/20 of the cell's
  // longest edge sees each of their edges under less than 2·atan(10), about pi − 0.2, so the
  // angle test fails by about 0.4, far beyond its 1e-4 tolerance. In parameter units that
  // distance is at least `reach`; the slack covers the rounding of (s, t), of the cell
  // corners and of each cell's own plane (tilted by the corners' rounding).
  constexpr Float kEps = 2.220446049250313e-16;
  const Float cell = std::min(std::sqrt(ss), std::sqrt(tt)) / WT_SUBCELLS;
  const Float slack =
      1e-6 +
      1e3 * kEps *
          (rl * axes * (ss + tt) / det + (ss * tt / det) * (std::abs(s) + std::abs(t) + 1.0) +
           (a.GetLength() + rl + axes) / sigma + (a.GetLength() + axes) * rl / (cell * sigma)) +
      1e-9 * rl / sigma;
  const Float reach = slack + 0.05 * (std::sqrt(ss) + std::sqrt(tt)) / (WT_SUBCELLS * sigma);
  if (!std::isfinite(s) || !std::isfinite(t) || !(reach < 2.0)) {
    return WTSubCellSearchAll(a, b, c, d, half, x, hit);
  }
  const auto cellIndex = [](Float v) {
    return static_cast<Int32>(std::floor(std::clamp(v, -4.0, 4.0) * WT_SUBCELLS));
  };
  // A projection inside a visited cell's sub-triangle by more than `sure` passes that
  // sub-triangle's angle test (inside it the angles add up to pi, up to a rounding far
  // below the tolerance) and fails every other one: it lies farther than 1e-3 of their
  // longest edge from them, while the test takes no point beyond 1.25e-5 of an edge's length
  // from it. The cell is the answer then, without testing the cells before it.
  {
    constexpr Float kCell = 1.0 / WT_SUBCELLS;
    const Float sure =
        100.0 * slack + 1e-3 * (std::sqrt(ss) + std::sqrt(tt)) / (WT_SUBCELLS * sigma);
    const Int32 i = cellIndex(t), j = cellIndex(s);
    Int32 from, to;
    RowRange(half, i, &from, &to);
    if (i >= 0 && i < WT_SUBCELLS && j >= from && j <= to) {
      const Float sp = s - static_cast<Float>(j) / WT_SUBCELLS;
      const Float tp = t - static_cast<Float>(i) / WT_SUBCELLS;
      const Float inFirst = std::min({tp, kCell - sp, (sp - tp) * 0.7});
      const Float inSecond = std::min({sp, kCell - tp, (tp - sp) * 0.7});
      if (inFirst > sure) return TestCell(a, es, et, half, i, j, x, true, true, false, hit, true);
      if (inSecond > sure) return TestCell(a, es, et, half, i, j, x, true, false, true, hit, true);
    }
  }
  // Cells below floor(32 (t − reach)) end before t − reach; cells above floor(32 (t + reach))
  // start after t + reach (likewise for s).
  const Int32 iLo = std::max(0, cellIndex(t - reach));
  const Int32 iHi = std::min(WT_SUBCELLS - 1, cellIndex(t + reach));
  const Int32 jLo = cellIndex(s - reach);
  const Int32 jHi = cellIndex(s + reach);
  for (Int32 i = iLo; i <= iHi; ++i) {
    Int32 from, to;
    RowRange(half, i, &from, &to);
    from = std::max(from, jLo);
    to = std::min(to, jHi);
    for (Int32 j = from; j <= to; ++j) {
      // Likewise for a cell's two sub-triangles, split by its diagonal s' = t' (offsets in
      // the cell): one lies beyond the diagonal by more than reach when s' - t' differs from
      // 0 by more than sqrt(2) reach.
      const Float diagonal =
          (s - static_cast<Float>(j) / WT_SUBCELLS) - (t - static_cast<Float>(i) / WT_SUBCELLS);
      const Bool first = !(diagonal < -1.5 * reach);
      const Bool second = !(diagonal > 1.5 * reach);
      if (TestCell(a, es, et, half, i, j, x, true, first, second, hit)) return true;
    }
  }
  return false;
}
