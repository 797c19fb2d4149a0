#include "ge_math.h"

Matrix Matrix::operator~() const {
  Float det = Dot(v1, Cross(v2, v3));
  if (det == 0) return Matrix(Vector(), Vector(), Vector(), Vector());
  Float inv = 1.0 / det;
  // Rows of the inverse 3x3 are the cross products of the columns.
  Vector r1 = Cross(v2, v3) * inv;
  Vector r2 = Cross(v3, v1) * inv;
  Vector r3 = Cross(v1, v2) * inv;
  Matrix m(Vector(), Vector(r1.x, r2.x, r3.x), Vector(r1.y, r2.y, r3.y), Vector(r1.z, r2.z, r3.z));
  m.off = -m.TransformVector(off);
  return m;
}

Matrix MatrixMove(const Vector& t) {
  return Matrix(t, Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));
}

Matrix MatrixScale(const Vector& s) {
  return Matrix(Vector(), Vector(s.x, 0, 0), Vector(0, s.y, 0), Vector(0, 0, s.z));
}

Matrix MatrixRotX(Float w) {
  Float c = std::cos(w), s = std::sin(w);
  return Matrix(Vector(), Vector(1, 0, 0), Vector(0, c, s), Vector(0, -s, c));
}

Matrix MatrixRotY(Float w) {
  Float c = std::cos(w), s = std::sin(w);
  return Matrix(Vector(), Vector(c, 0, -s), Vector(0, 1, 0), Vector(s, 0, c));
}

Matrix MatrixRotZ(Float w) {
  Float c = std::cos(w), s = std::sin(w);
  return Matrix(Vector(), Vector(c, s, 0), Vector(-s, c, 0), Vector(0, 0, 1));
}

namespace {

Matrix RotAbout(Int32 axis, Float w) {
  return axis == 0 ? MatrixRotX(w) : axis == 1 ? MatrixRotY(w) : MatrixRotZ(w);
}

// The turns of an axis order as a product Ri(a) * Rj(b) * Rk(c): axes i, j, k (0 = X) and
// which component of the angle vector each takes. A global order makes its first named turn
// first about the fixed axes, so it stands rightmost; a local order is the reverse product.
struct EulerProduct {
  Int32 i, j, k;
};

EulerProduct ProductOf(ROTATIONORDER order) {
  switch (order) {
    case ROTATIONORDER_XYZGLOBAL:
    case ROTATIONORDER_ZYXLOCAL:
      return {2, 1, 0};
    case ROTATIONORDER_XZYGLOBAL:
    case ROTATIONORDER_YZXLOCAL:
      return {1, 2, 0};
    case ROTATIONORDER_YXZGLOBAL:
    case ROTATIONORDER_ZXYLOCAL:
      return {2, 0, 1};
    case ROTATIONORDER_YZXGLOBAL:
    case ROTATIONORDER_XZYLOCAL:
      return {0, 2, 1};
    case ROTATIONORDER_ZXYGLOBAL:
    case ROTATIONORDER_YXZLOCAL:
      return {1, 0, 2};
    case ROTATIONORDER_ZYXGLOBAL:
    case ROTATIONORDER_XYZLOCAL:
    default:
      return {0, 1, 2};
  }
}

// Orders outside the host's list turn as HPB, the default.
bool IsAxisOrder(ROTATIONORDER order) {
  return order >= ROTATIONORDER_YXZGLOBAL && order <= ROTATIONORDER_XYZLOCAL;
}

Float Component(const Vector& v, Int32 axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

// Angles (a, b, c) with Ri(a) * Rj(b) * Rk(c) == the rotation whose axis columns are `col`.
// b comes from the length of a row, not an arcsine, so it stays exact near ±90°; c is taken
// after undoing a, so the product holds even where a is arbitrary (b = ±90°).
Vector DecomposeEuler(const Vector col[3], EulerProduct p) {
  // e(r, c): row r, column c of the 3x3 rotation.
  auto e = [&](Int32 r, Int32 c) { return Component(col[c], r); };
  const Float sign = (p.j == (p.i + 1) % 3) ? 1.0 : -1.0;  // i, j, k cyclic or not
  const Float cb = std::hypot(e(p.j, p.k), e(p.k, p.k));
  const Float b = std::atan2(sign * e(p.i, p.k), cb);
  // Below this the outer and inner axes coincide up to rounding noise.
  const Float a = cb < 1e-12 ? 0.0 : std::atan2(-sign * e(p.j, p.k), e(p.k, p.k));
  const Float ca = std::cos(a), sa = std::sin(a);
  const Float rji = ca * e(p.j, p.i) + sign * sa * e(p.k, p.i);
  const Float rjj = ca * e(p.j, p.j) + sign * sa * e(p.k, p.j);
  const Float c = std::atan2(sign * rji, rjj);
  return Vector(a, b, c);
}

}  // namespace

Matrix HPBToMatrix(const Vector& rot, ROTATIONORDER order) {
  if (rot.IsZero()) return Matrix();
  if (!IsAxisOrder(order)) {
    Float ss = std::sin(rot.x), cs = std::cos(rot.x);
    Float sn = std::sin(rot.y), cn = std::cos(rot.y);
    Float sk = std::sin(rot.z), ck = std::cos(rot.z);
    return Matrix(Vector(), Vector(ck * cs - sk * sn * ss, -sk * cn, ck * ss + sk * sn * cs),
                  Vector(sk * cs + ck * sn * ss, ck * cn, sk * ss - ck * sn * cs),
                  Vector(-cn * ss, sn, cn * cs));
  }
  const EulerProduct p = ProductOf(order);
  return RotAbout(p.i, Component(rot, p.i)) * RotAbout(p.j, Component(rot, p.j)) *
         RotAbout(p.k, Component(rot, p.k));
}

Vector MatrixToHPB(const Matrix& m, ROTATIONORDER order) {
  const Vector col[3] = {m.v1.GetNormalized(), m.v2.GetNormalized(), m.v3.GetNormalized()};
  // HPB is RotY(-h) * RotX(-p) * RotZ(-b). Subtracting from (and adding to) +0 keeps the -0
  // that atan2 gives for -0 out of the angles.
  if (!IsAxisOrder(order)) return Vector() - DecomposeEuler(col, {1, 0, 2});
  const EulerProduct p = ProductOf(order);
  const Vector a = DecomposeEuler(col, p);
  Vector rot;
  (p.i == 0 ? rot.x : p.i == 1 ? rot.y : rot.z) = a.x;
  (p.j == 0 ? rot.x : p.j == 1 ? rot.y : rot.z) = a.y;
  (p.k == 0 ? rot.x : p.k == 1 ? rot.y : rot.z) = a.z;
  return rot + Vector();
}
