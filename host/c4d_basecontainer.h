// Parameter values (GeData) and the host's parameter container (BaseContainer).
#pragma once

#include <map>
#include <memory>
#include <variant>

#include "c4d_string.h"

class BaseList2D;
class BaseDocument;
class BaseObject;
class BaseContainer;

enum DA_TYPE : Int32 {
  DA_NIL = 0,
  DA_VOID = 1,
  DA_CONTAINER = 14,
  DA_LONG = 15,
  DA_LLONG = 16,
  DA_REAL = 19,
  DA_TIME = 22,
  DA_VECTOR = 23,
  DA_MATRIX = 25,
  DA_STRING = 130,
  DA_FILENAME = 131,
  DA_ALIASLINK = 133,
};
constexpr Int32 DTYPE_NONE = 0;
constexpr Int32 DTYPE_GROUP = 1;
constexpr Int32 DTYPE_LONG = 15;
constexpr Int32 DTYPE_REAL = 19;
constexpr Int32 DTYPE_VECTOR = 23;
constexpr Int32 DTYPE_BUTTON = 8;
constexpr Int32 DTYPE_COLOR = 3;
constexpr Int32 DTYPE_BOOL = 400006001;
constexpr Int32 DTYPE_STRING = 130;
constexpr Int32 DTYPE_FILENAME = 131;
constexpr Int32 DTYPE_BASELISTLINK = 133;

/// Length units of the host's unit-scale data.
enum class DOCUMENT_UNIT : Int32 {
  UNDEFINED = 0,
  KM = 1,
  M = 2,
  CM = 3,
  MM = 4,
  UM = 5,
  NM = 6,
  MILE = 7,
  YARD = 8,
  FOOT = 9,
  INCH = 10,
};

constexpr Int32 CUSTOMDATATYPE_UNITSCALE = 200000275;

/// Base of the host's custom data types: containers hand them out as this, and the caller
/// casts to the class of the type id it asked for.
class CustomDataType {};
template <class X>
class iCustomDataType : public CustomDataType {};

/// A length unit with a number, e.g. "8 cm per unit" (custom data type 200000275).
class UnitScaleData : public iCustomDataType<UnitScaleData> {
 public:
  UnitScaleData() = default;
  UnitScaleData(Float scale, DOCUMENT_UNIT unit) : scale_(scale), unit_(unit) {}
  Bool SetUnitScale(Float scale, DOCUMENT_UNIT unit) {
    scale_ = scale;
    unit_ = unit;
    return true;
  }
  void GetUnitScale(Float& scale, DOCUMENT_UNIT& unit) const {
    scale = scale_;
    unit = unit_;
  }
  Float GetScale() const { return scale_; }
  DOCUMENT_UNIT GetUnit() const { return unit_; }
  bool operator==(const UnitScaleData& o) const { return scale_ == o.scale_ && unit_ == o.unit_; }

 private:
  Float scale_ = 1.0;
  DOCUMENT_UNIT unit_ = DOCUMENT_UNIT::CM;
};

/// Length of one unit in metres.
Float GetUnitLengthInMetres(DOCUMENT_UNIT unit);
/// Factor that turns a length measured in `src` units into the same length in `dst` units.
/// A missing side counts as 1 cm.
Float CalculateTranslationScale(const UnitScaleData* src, const UnitScaleData* dst);

/// A link to a list element that survives the element being freed (it then resolves to null).
struct GeLink {
  UInt64 id = 0;
  bool operator==(const GeLink& o) const { return id == o.id; }
};

/// One parameter value of any of the host's data types.
class GeData {
 public:
  using Value = std::variant<std::monostate, Int32, Int64, Float, Vector, Matrix, String, Filename,
                             GeLink, UnitScaleData, std::shared_ptr<BaseContainer>>;

  GeData() = default;
  GeData(Bool v) : v_(static_cast<Int32>(v)) {}
  GeData(Int32 v) : v_(v) {}
  GeData(Int64 v) : v_(v) {}
  GeData(Float v) : v_(v) {}
  GeData(const Vector& v) : v_(v) {}
  GeData(const Matrix& v) : v_(v) {}
  GeData(const String& v) : v_(v) {}
  GeData(const char* v) : v_(String(v)) {}
  GeData(const Filename& v) : v_(v) {}
  GeData(const UnitScaleData& v) : v_(v) {}
  GeData(const BaseContainer& v);
  /// A link to `node` (null gives an empty link).
  GeData(const BaseList2D* node);

  Int32 GetType() const;
  Bool GetBool() const { return GetInt32() != 0; }
  Int32 GetInt32() const;
  Int64 GetInt64() const;
  Float GetFloat() const;
  Vector GetVector() const;
  Matrix GetMatrix() const;
  String GetString() const;
  Filename GetFilename() const;
  const UnitScaleData* GetUnitScale() const { return std::get_if<UnitScaleData>(&v_); }
  const BaseContainer* GetContainer() const;
  /// The linked element if it still exists (and, with a document, belongs to it);
  /// `instanceOf` restricts the element's type (0: any).
  BaseList2D* GetLink(const BaseDocument* doc = nullptr, Int32 instanceOf = 0) const;
  /// The custom data when it is of type `datatype` (only unit-scale data for now), else null;
  /// the caller casts it to the type's class.
  const CustomDataType* GetCustomDataType(Int32 datatype) const;
  void SetInt32(Int32 v) { v_ = v; }
  void SetFloat(Float v) { v_ = v; }
  const Value& GetValue() const { return v_; }
  bool operator==(const GeData& o) const;

 private:
  Value v_;
};

/// The host's ordered parameter container: values addressed by integer ids.
class BaseContainer {
 public:
  BaseContainer() = default;
  explicit BaseContainer(Int32 id) : id_(id) {}

  Int32 GetId() const { return id_; }
  void SetId(Int32 id) { id_ = id; }

  Bool GetBool(Int32 id, Bool preset = false) const;
  Int32 GetInt32(Int32 id, Int32 preset = 0) const;
  Int64 GetInt64(Int32 id, Int64 preset = 0) const;
  /// A pointer-sized value (a core message's parameters, BFM_CORE_PAR1...).
  void* GetVoid(Int32 id, void* preset = nullptr) const;
  Float GetFloat(Int32 id, Float preset = 0.0) const;
  Vector GetVector(Int32 id, const Vector& preset = Vector()) const;
  Matrix GetMatrix(Int32 id, const Matrix& preset = Matrix()) const;
  String GetString(Int32 id, const String& preset = String()) const;
  Filename GetFilename(Int32 id, const Filename& preset = Filename()) const;
  BaseList2D* GetLink(Int32 id, const BaseDocument* doc = nullptr, Int32 instanceOf = 0) const;
  /// The linked object if it still exists and belongs to `doc`, else null.
  BaseObject* GetObjectLink(Int32 id, const BaseDocument* doc) const;
  BaseContainer GetContainer(Int32 id) const;
  const GeData& GetData(Int32 id) const;
  const GeData* GetDataPointer(Int32 id) const;
  /// The custom data at `id` when it is of type `datatype` (e.g. CUSTOMDATATYPE_UNITSCALE),
  /// else null; the caller casts it to the type's class (UnitScaleData).
  const CustomDataType* GetCustomDataType(Int32 id, Int32 datatype) const;

  void SetBool(Int32 id, Bool v) { data_[id] = GeData(v); }
  void SetInt32(Int32 id, Int32 v) { data_[id] = GeData(v); }
  void SetInt64(Int32 id, Int64 v) { data_[id] = GeData(v); }
  void SetFloat(Int32 id, Float v) { data_[id] = GeData(v); }
  void SetVector(Int32 id, const Vector& v) { data_[id] = GeData(v); }
  void SetMatrix(Int32 id, const Matrix& v) { data_[id] = GeData(v); }
  void SetString(Int32 id, const String& v) { data_[id] = GeData(v); }
  void SetFilename(Int32 id, const Filename& v) { data_[id] = GeData(v); }
  void SetLink(Int32 id, const BaseList2D* node) { data_[id] = GeData(node); }
  void SetContainer(Int32 id, const BaseContainer& v) { data_[id] = GeData(v); }
  void SetData(Int32 id, const GeData& v) { data_[id] = v; }

  Bool RemoveData(Int32 id) { return data_.erase(id) > 0; }
  void FlushAll() { data_.clear(); }
  Bool IsSet(Int32 id) const { return data_.count(id) > 0; }
  Int32 GetCount() const { return static_cast<Int32>(data_.size()); }
  /// Index-th entry in id order, or -1 (NOTOK) when out of range.
  Int32 GetIndexId(Int32 index) const;
  const std::map<Int32, GeData>& Entries() const { return data_; }
  void CopyTo(BaseContainer* dst) const { *dst = *this; }
  /// Copies every entry of `src` into this container, keeping other entries.
  void MergeContainer(const BaseContainer& src);

 private:
  Int32 id_ = 0;
  std::map<Int32, GeData> data_;
};
