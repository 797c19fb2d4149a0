// Basic types and the vector and matrix algebra of the host's plug-in interface.
#pragma once

#include <cmath>
#include <cstdint>

using Bool = bool;
using Char = char;
using UChar = unsigned char;
using Int8 = std::int8_t;
using UInt8 = std::uint8_t;
using Int16 = std::int16_t;
using UInt16 = std::uint16_t;
using Int32 = std::int32_t;
using UInt32 = std::uint32_t;
using Int64 = std::int64_t;
using UInt64 = std::uint64_t;
using Int = Int64;
using Float = double;
using Float32 = float;
using Float64 = double;
using VLONG = Int64;

constexpr Int32 NOTOK = -1;
constexpr Float PI = 3.14159265358979323846;

template <typename T>
struct Vec3 {
  T x = 0, y = 0, z = 0;

  constexpr Vec3() = default;
  constexpr Vec3(T ax, T ay, T az) : x(ax), y(ay), z(az) {}
  constexpr explicit Vec3(T v) : x(v), y(v), z(v) {}
  template <typename U>
  constexpr explicit Vec3(const Vec3<U>& o)
      : x(static_cast<T>(o.x)), y(static_cast<T>(o.y)), z(static_cast<T>(o.z)) {}

  constexpr Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vec3 operator-() const { return {-x, -y, -z}; }
  constexpr Vec3 operator*(T s) const { return {x * s, y * s, z * s}; }
  constexpr Vec3 operator/(T s) const { return {x / s, y / s, z / s}; }
  constexpr Vec3& operator+=(const Vec3& o) {
    x += o.x;
    y += o.y;
    z += o.z;
    return *this;
  }
  constexpr Vec3& operator-=(const Vec3& o) {
    x -= o.x;
    y -= o.y;
    z -= o.z;
    return *this;
  }
  constexpr Vec3& operator*=(T s) {
    x *= s;
    y *= s;
    z *= s;
    return *this;
  }
  constexpr bool operator==(const Vec3& o) const { return x == o.x && y == o.y && z == o.z; }
  constexpr bool operator!=(const Vec3& o) const { return !(*this == o); }

  T GetSquaredLength() const { return x * x + y * y + z * z; }
  T GetLength() const { return std::sqrt(x * x + y * y + z * z); }
  /// Unit vector in the same direction; the zero vector stays zero.
  Vec3 GetNormalized() const {
    T l = GetLength();
    return l == 0 ? *this : Vec3(x / l, y / l, z / l);
  }
  void Normalize() { *this = GetNormalized(); }
  constexpr bool IsZero() const { return x == 0 && y == 0 && z == 0; }
};

template <typename T>
constexpr Vec3<T> operator*(T s, const Vec3<T>& v) {
  return v * s;
}
template <typename T>
constexpr T Dot(const Vec3<T>& a, const Vec3<T>& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
template <typename T>
constexpr Vec3<T> Cross(const Vec3<T>& a, const Vec3<T>& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

using Vector = Vec3<Float>;
using Vector32 = Vec3<Float32>;
using Vector64 = Vec3<Float64>;
using SVector = Vector32;

/// Affine matrix of the host: an offset and three axis vectors.
/// A point p maps to off + v1 * p.x + v2 * p.y + v3 * p.z, evaluated in that order.
struct Matrix {
  Vector off{0, 0, 0};
  Vector v1{1, 0, 0};
  Vector v2{0, 1, 0};
  Vector v3{0, 0, 1};

  constexpr Matrix() = default;
  constexpr Matrix(const Vector& o, const Vector& a, const Vector& b, const Vector& c)
      : off(o), v1(a), v2(b), v3(c) {}

  constexpr Vector operator*(const Vector& p) const { return off + v1 * p.x + v2 * p.y + v3 * p.z; }
  /// Transforms a direction: the axes without the offset.
  constexpr Vector TransformVector(const Vector& p) const { return v1 * p.x + v2 * p.y + v3 * p.z; }
  constexpr Matrix operator*(const Matrix& m) const {
    return Matrix((*this) * m.off, TransformVector(m.v1), TransformVector(m.v2),
                  TransformVector(m.v3));
  }
  constexpr bool operator==(const Matrix& o) const {
    return off == o.off && v1 == o.v1 && v2 == o.v2 && v3 == o.v3;
  }
  constexpr bool operator!=(const Matrix& o) const { return !(*this == o); }
  /// Inverse of an affine matrix (zero matrix for a singular one).
  Matrix operator~() const;
};

/// The host's rotation orders (the angles of an object are interpreted by them).
enum ROTATIONORDER : Int32 {
  ROTATIONORDER_YXZGLOBAL = 0,
  ROTATIONORDER_YZXGLOBAL = 1,
  ROTATIONORDER_ZYXGLOBAL = 2,
  ROTATIONORDER_ZXYGLOBAL = 3,
  ROTATIONORDER_XZYGLOBAL = 4,
  ROTATIONORDER_XYZGLOBAL = 5,
  ROTATIONORDER_YXZLOCAL = 6,
  ROTATIONORDER_YZXLOCAL = 7,
  ROTATIONORDER_ZYXLOCAL = 8,
  ROTATIONORDER_ZXYLOCAL = 9,
  ROTATIONORDER_XZYLOCAL = 10,
  ROTATIONORDER_XYZLOCAL = 11,
  ROTATIONORDER_HPB = 12,
  ROTATIONORDER_DEFAULT = 12
};

Matrix MatrixMove(const Vector& t);
Matrix MatrixScale(const Vector& s);
/// Turns by `w` radians about one axis: RotX turns +Y towards +Z, RotY +Z towards +X (the
/// opposite sense of a heading), RotZ +X towards +Y.
Matrix MatrixRotX(Float w);
Matrix MatrixRotY(Float w);
Matrix MatrixRotZ(Float w);

/// Rotation matrix of the angles `rot` (radians) in the given order.
/// For ROTATIONORDER_HPB, rot is (heading, pitch, bank): bank turns about Z, then pitch about
/// X, then heading about the parent's Y; a positive heading turns +Z towards -X, a positive
/// pitch turns +Z towards +Y. For the axis orders, rot is (angle about X, about Y, about Z),
/// each a MatrixRotX/Y/Z; a ...GLOBAL order turns about the parent's axes in the order named,
/// a ...LOCAL order about the object's turned axes (XYZLOCAL is ZYXGLOBAL).
Matrix HPBToMatrix(const Vector& rot, ROTATIONORDER order);
/// The angles of the rotation part of `m` (its axes are normalised first) in the given order:
/// HPBToMatrix of the result gives back the rotation. The middle turn's angle lies in
/// [-90°, 90°]; where it is ±90° the other two turn about one axis, and the one about the
/// parent's axis (the heading for HPB, the first of a local order, the last of a global one)
/// gets the angle 0.
Vector MatrixToHPB(const Matrix& m, ROTATIONORDER order);

inline Float Rad(Float deg) { return deg * (PI / 180.0); }
inline Float Deg(Float rad) { return rad * (180.0 / PI); }
