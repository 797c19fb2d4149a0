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

Matrix HPBToMatrix(const Vector& rot, ROTATIONORDER order) {
  if (rot.IsZero()) return Matrix();
  if (order == ROTATIONORDER_HPB) {
    // Bank first, then pitch, then heading, each about the rotated axes.
    return MatrixRotY(rot.x) * MatrixRotX(rot.y) * MatrixRotZ(rot.z);
  }
  const Matrix x = MatrixRotX(rot.x), y = MatrixRotY(rot.y), z = MatrixRotZ(rot.z);
  switch (order) {
    // Global orders apply the first named axis first about the fixed world axes.
    case ROTATIONORDER_XYZGLOBAL:
      return z * y * x;
    case ROTATIONORDER_XZYGLOBAL:
      return y * z * x;
    case ROTATIONORDER_YXZGLOBAL:
      return z * x * y;
    case ROTATIONORDER_YZXGLOBAL:
      return x * z * y;
    case ROTATIONORDER_ZXYGLOBAL:
      return y * x * z;
    case ROTATIONORDER_ZYXGLOBAL:
      return x * y * z;
    // Local orders apply the first named axis first about the rotated axes.
    case ROTATIONORDER_XYZLOCAL:
      return x * y * z;
    case ROTATIONORDER_XZYLOCAL:
      return x * z * y;
    case ROTATIONORDER_YXZLOCAL:
      return y * x * z;
    case ROTATIONORDER_YZXLOCAL:
      return y * z * x;
    case ROTATIONORDER_ZXYLOCAL:
      return z * x * y;
    case ROTATIONORDER_ZYXLOCAL:
      return z * y * x;
    default:
      return MatrixRotY(rot.x) * MatrixRotX(rot.y) * MatrixRotZ(rot.z);
  }
}
