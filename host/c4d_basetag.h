// Tags: elements attached to objects that carry data (points, UVs, selections,
// weights, materials) or a plug-in's behaviour.
#pragma once

#include <vector>

#include "c4d_baselist.h"
#include "c4d_baseselect.h"

class BaseObject;
class BaseMaterial;
class TagData;

class BaseTag : public BaseList2D {
 public:
  explicit BaseTag(Int32 type) : type_(type) {}
  /// A new tag of `type`; for a registered plug-in tag, with its plug-in instance initialised.
  static BaseTag* Alloc(Int32 type);
  static void Free(BaseTag*& tag) {
    delete tag;
    tag = nullptr;
  }

  Int32 GetType() const override { return type_; }
  Bool IsInstanceOf(Int32 id) const override { return id == type_ || id == Tbase; }
  BaseTag* GetNext() const { return static_cast<BaseTag*>(GeListNode::GetNext()); }
  BaseTag* GetPred() const { return static_cast<BaseTag*>(GeListNode::GetPred()); }
  /// The object that carries the tag, or null.
  BaseObject* GetObject() const;
  BaseList2D* AllocSame() const override { return Alloc(type_); }
  BaseTag* GetClone(COPYFLAGS flags, void* trn = nullptr) const {
    return static_cast<BaseTag*>(BaseList2D::GetClone(flags, trn));
  }
  /// Visible tags are shown in the object manager; data tags (points, polygons) are not.
  virtual Bool IsVisibleTag() const;
  virtual Bool IsVariableTag() const { return false; }

 private:
  Int32 type_;
};

/// A tag that holds one fixed-size record per element (point, polygon).
class VariableTag : public BaseTag {
 public:
  VariableTag(Int32 type, Int32 count);
  static VariableTag* Alloc(Int32 type, Int32 count);
  /// Size in bytes of one record of a variable tag type (0 for unknown types).
  static Int32 GetElementSize(Int32 type);

  Int32 GetDataCount() const { return count_; }
  const void* GetDataAddressR() const { return data_.empty() ? nullptr : data_.data(); }
  void* GetDataAddressW() { return data_.empty() ? nullptr : data_.data(); }
  template <typename T>
  const T* Read() const {
    return static_cast<const T*>(GetDataAddressR());
  }
  template <typename T>
  T* Write() {
    return static_cast<T*>(GetDataAddressW());
  }
  /// Resizes to `count` records; new records are zero.
  Bool Resize(Int32 count);
  Bool IsVariableTag() const override { return true; }
  BaseList2D* AllocSame() const override { return Alloc(GetType(), 0); }
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;

 private:
  Int32 count_ = 0;
  Int32 elementSize_ = 0;
  std::vector<unsigned char> data_;
};

/// UVW coordinates of the four corners of one polygon.
struct UVWStruct {
  Vector a, b, c, d;
  UVWStruct() = default;
  UVWStruct(const Vector& t_a, const Vector& t_b, const Vector& t_c, const Vector& t_d)
      : a(t_a), b(t_b), c(t_c), d(t_d) {}
};

/// Per-polygon UVW coordinates (stored in single precision like the host).
class UVWTag : public VariableTag {
 public:
  explicit UVWTag(Int32 count) : VariableTag(Tuvw, count) {}
  static UVWTag* Alloc(Int32 count) { return new UVWTag(count); }
  UVWStruct GetSlow(Int32 i) const;
  void SetSlow(Int32 i, const UVWStruct& s);
  BaseList2D* AllocSame() const override { return Alloc(0); }
};

/// A named selection of points, polygons or edges.
class SelectionTag : public BaseTag {
 public:
  explicit SelectionTag(Int32 type) : BaseTag(type) {}
  static SelectionTag* Alloc(Int32 type) { return new SelectionTag(type); }
  BaseSelect* GetBaseSelect() { return &sel_; }
  const BaseSelect* GetBaseSelect() const { return &sel_; }
  BaseList2D* AllocSame() const override { return Alloc(GetType()); }
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;

 private:
  BaseSelect sel_;
};

enum : Int32 {
  TEXTURETAG_RESTRICTION = 1006,
  TEXTURETAG_MATERIAL = 1010,
  PHONGTAG_PHONG_ANGLELIMIT = 1000,
  PHONGTAG_PHONG_ANGLE = 1001,
};

/// Assigns a material to the polygons of an object (all, or a named polygon selection).
class TextureTag : public BaseTag {
 public:
  TextureTag() : BaseTag(Ttexture) {}
  static TextureTag* Alloc() { return new TextureTag; }
  BaseMaterial* GetMaterial(Bool ignoredoc = false) const;
  void SetMaterial(BaseMaterial* mat);
  BaseList2D* AllocSame() const override { return Alloc(); }
};

class CAWeightTag;
namespace host {
Int32 AddJointWithWeights(CAWeightTag* tag, BaseObject* op, std::vector<Float>&& weights);
}

/// Joint weights of an object: for every joint, one weight per point.
/// SetWeight at different points may run concurrently once the tag covers the point count.
class CAWeightTag : public BaseTag {
 public:
  CAWeightTag() : BaseTag(Tweights) {}
  static CAWeightTag* Alloc() { return new CAWeightTag; }

  Int32 GetJointCount() const { return static_cast<Int32>(joints_.size()); }
  BaseObject* GetJoint(Int32 index, BaseDocument* doc = nullptr) const;
  /// Index of `op` among the joints, or NOTOK.
  Int32 FindJoint(BaseObject* op, BaseDocument* doc = nullptr) const;
  /// Appends a joint (or answers the index it already has).
  Int32 AddJoint(BaseObject* op);
  void RemoveJoint(BaseObject* op);
  Float GetWeight(Int32 index, Int32 pntidx) const;
  Bool SetWeight(Int32 index, Int32 pntidx, Float weight);
  /// Makes every joint's weight array cover `count` points (new weights 0).
  void ReservePoints(Int32 count);
  Int32 GetPointCapacity() const { return pointCount_; }
  void WeightDirty() { SetDirty(DIRTYFLAGS_DATA); }
  BaseList2D* AllocSame() const override { return Alloc(); }
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;

 private:
  friend Int32 host::AddJointWithWeights(CAWeightTag*, BaseObject*, std::vector<Float>&&);
  std::vector<GeLink> joints_;
  std::vector<std::vector<Float>> weights_;
  Int32 pointCount_ = 0;
};
