// Objects of the scene: the base object with transform, visibility, tags and caches;
// point and polygon objects; joints.
#pragma once

#include "c4d_basetag.h"

class BaseThread;
class ObjectData;

/// Why the host builds caches: the editor (0) or a renderer.
enum BUILDFLAGS : Int32 {
  BUILDFLAGS_0 = 0,
  BUILDFLAGS_INTERNALRENDERER = 2,
  BUILDFLAGS_EXTERNALRENDERER = 4,
  BUILDFLAGS_ISOPARM = 8,
};

/// What the host hands a generator while it builds the caches of a document.
class HierarchyHelp {
 public:
  HierarchyHelp(BaseDocument* doc, BaseThread* bt, BUILDFLAGS flags)
      : doc_(doc), thread_(bt), flags_(flags) {}
  Float GetLOD() const { return 1.0; }
  BUILDFLAGS GetBuildFlags() const { return flags_; }
  BaseThread* GetThread() const { return thread_; }
  BaseDocument* GetDocument() const { return doc_; }

 private:
  BaseDocument* doc_;
  BaseThread* thread_;
  BUILDFLAGS flags_;
};

/// Four point indices; a triangle when c equals d.
struct CPolygon {
  Int32 a = 0, b = 0, c = 0, d = 0;
  CPolygon() = default;
  CPolygon(Int32 t_a, Int32 t_b, Int32 t_c) : a(t_a), b(t_b), c(t_c), d(t_c) {}
  CPolygon(Int32 t_a, Int32 t_b, Int32 t_c, Int32 t_d) : a(t_a), b(t_b), c(t_c), d(t_d) {}
  Int32& operator[](Int32 i) { return i == 0 ? a : i == 1 ? b : i == 2 ? c : d; }
  Int32 operator[](Int32 i) const { return i == 0 ? a : i == 1 ? b : i == 2 ? c : d; }
  bool operator==(const CPolygon& o) const { return a == o.a && b == o.b && c == o.c && d == o.d; }
};

/// Visibility modes of an object in the editor and in the renderer.
constexpr Int32 MODE_ON = 0;
constexpr Int32 MODE_OFF = 1;
constexpr Int32 MODE_UNDEF = 2;

/// Object parameters of every object.
enum : Int32 {
  ID_BASEOBJECT_XRAY = 880,
};

/// Object info flags of plug-in objects.
constexpr Int32 OBJECT_MODIFIER = 1;
constexpr Int32 OBJECT_HIERARCHYMODIFIER = 2;
constexpr Int32 OBJECT_GENERATOR = 4;
constexpr Int32 OBJECT_INPUT = 8;

class BaseObject : public BaseList2D {
 public:
  explicit BaseObject(Int32 type) : type_(type) { tagHead_.owner = this; }
  ~BaseObject() override;
  /// A new object of `type`: a polygon object, a joint, a plug-in object or a plain object.
  static BaseObject* Alloc(Int32 type);
  static void Free(BaseObject*& op) {
    delete op;
    op = nullptr;
  }

  Int32 GetType() const override { return type_; }
  Bool IsInstanceOf(Int32 id) const override { return id == type_ || id == Obase; }
  BaseList2D* AllocSame() const override { return Alloc(type_); }
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;
  BaseObject* GetClone(COPYFLAGS flags, void* trn = nullptr) const {
    return static_cast<BaseObject*>(BaseList2D::GetClone(flags, trn));
  }

  BaseObject* GetNext() const { return static_cast<BaseObject*>(GeListNode::GetNext()); }
  BaseObject* GetPred() const { return static_cast<BaseObject*>(GeListNode::GetPred()); }
  BaseObject* GetUp() const { return static_cast<BaseObject*>(GeListNode::GetUp()); }
  BaseObject* GetDown() const { return static_cast<BaseObject*>(GeListNode::GetDown()); }
  BaseObject* GetDownLast() const { return static_cast<BaseObject*>(GeListNode::GetDownLast()); }

  // Transform relative to the parent; rotations in radians.
  Vector GetRelPos() const { return pos_; }
  Vector GetRelRot() const { return rot_; }
  Vector GetRelScale() const { return scale_; }
  void SetRelPos(const Vector& v) {
    pos_ = v;
    SetDirty(DIRTYFLAGS_MATRIX);
  }
  void SetRelRot(const Vector& v) {
    rot_ = v;
    SetDirty(DIRTYFLAGS_MATRIX);
  }
  void SetRelScale(const Vector& v) {
    scale_ = v;
    SetDirty(DIRTYFLAGS_MATRIX);
  }
  ROTATIONORDER GetRotationOrder() const { return rotOrder_; }
  void SetRotationOrder(ROTATIONORDER o) {
    rotOrder_ = o;
    SetDirty(DIRTYFLAGS_MATRIX);
  }
  /// Local matrix: translation, rotation in the object's order, scale.
  Matrix GetMl() const;
  /// Global matrix: the parents' matrices times the local matrix (caches: their owner's).
  Matrix GetMg() const;
  /// Global matrix of the parent (identity at the top).
  Matrix GetUpMg() const;
  /// Sets the local transform so that the global matrix becomes `mg` (no shear kept); the
  /// angles are in the object's rotation order, a mirroring shows as a negative Z scale.
  void SetMg(const Matrix& mg);

  Int32 GetRenderMode() const { return renderMode_; }
  Int32 GetEditorMode() const { return editorMode_; }
  void SetRenderMode(Int32 mode) { renderMode_ = mode; }
  void SetEditorMode(Int32 mode) { editorMode_ = mode; }

  BaseTag* GetFirstTag() const { return static_cast<BaseTag*>(tagHead_.first); }
  BaseTag* GetLastTag() const;
  /// The `nr`-th tag of `type` in tag order, or null.
  BaseTag* GetTag(Int32 type, Int32 nr = 0) const;
  /// Inserts `tag` after `pred`, or as the first tag when `pred` is null.
  void InsertTag(BaseTag* tag, BaseTag* pred = nullptr);
  /// Appends `tag` as the last tag.
  void InsertTagLast(BaseTag* tag);
  BaseTag* MakeTag(Int32 type, BaseTag* pred = nullptr);
  void KillTag(Int32 type, Int32 nr = 0);
  /// Copies this object's tags (visible ones / variable ones as asked) to `dest`.
  Bool CopyTagsTo(BaseObject* dest, Int32 visible, Int32 variable, Int32 hierarchical,
                  void* trn = nullptr) const;

  // Generator support (c4d_hierarchy.cpp). A generator lists the objects its result depends
  // on; the host compares the list with the one of the previous evaluation, and touching
  // the list marks those objects as the generator's inputs (BIT_CONTROLOBJECT: not drawn,
  // not exported on their own) until the next evaluation of the document.

  /// Starts a new dependence list (the previous one is kept for the comparison).
  void NewDependenceList();
  /// Adds `op` (with its current dirty state) to the new dependence list.
  void AddDependence(HierarchyHelp* hh, BaseObject* op);
  /// True when the new list names the same objects, in the same order and unchanged, as the
  /// list of the previous evaluation.
  Bool CompareDependenceList();
  /// Touches every object of the current dependence list.
  void TouchDependenceList();
  /// Marks this object as an input used by a generator (sets BIT_CONTROLOBJECT) and resets
  /// its dirty state for IsDirty.
  void Touch();
  /// True when the generator's result must be rebuilt: there is none, or the cache was
  /// marked dirty (SetDirty with DIRTYFLAGS_CACHE) since it was built.
  Bool CheckCache(HierarchyHelp* hh);
  /// True when the counters of `flags` changed since the object was last touched or, for a
  /// generator, since its cache was last built.
  Bool IsDirty(DIRTYFLAGS flags) const;
  /// Host internals: called after the host has stored a generator's result.
  void MarkCacheBuilt();
  /// Host internals: takes back the mark of Touch (before the next evaluation).
  void ClearTouch();
  /// Host internals: whether the control-object bit is the mark of Touch (the evaluation sets
  /// it again) rather than a state of the scene.
  Bool IsTouched() const { return touched_; }

  /// The generator result of this object, or null.
  BaseObject* GetCache(HierarchyHelp* hh = nullptr) const;
  /// The deformed copy of this object, or null.
  BaseObject* GetDeformCache() const;
  /// Host internals: replaces the caches (taking ownership).
  void SetCache(BaseObject* cache);
  void SetDeformCache(BaseObject* cache);
  /// The object a cache belongs to (null for ordinary objects).
  BaseObject* GetCacheParent() const { return cacheParent_; }

  /// Plug-in info flags of the object's type (0 for built-in types).
  Int32 GetInfo() const;

  BaseDocument* GetDocument() const override;

 protected:
  Head tagHead_;

 private:
  Int32 type_;
  Vector pos_, rot_, scale_{1, 1, 1};
  ROTATIONORDER rotOrder_ = ROTATIONORDER_HPB;
  Int32 renderMode_ = MODE_UNDEF;
  Int32 editorMode_ = MODE_UNDEF;
  BaseObject* cache_ = nullptr;
  BaseObject* deformCache_ = nullptr;
  BaseObject* cacheParent_ = nullptr;
  struct Dependence {
    UInt64 id = 0;
    UInt32 dirty = 0;
    bool operator==(const Dependence& o) const { return id == o.id && dirty == o.dirty; }
  };
  std::vector<Dependence> dependences_, previousDependences_;
  UInt32 touchedDirty_[8] = {};
  UInt32 builtCacheDirty_ = 0;
  bool touched_ = false;
};

/// An object made of points (kept in its Tpoint tag).
class PointObject : public BaseObject {
 public:
  explicit PointObject(Int32 type) : BaseObject(type) {}
  Bool IsInstanceOf(Int32 id) const override {
    return id == Opoint || BaseObject::IsInstanceOf(id);
  }
  Int32 GetPointCount() const;
  const Vector* GetPointR() const;
  Vector* GetPointW();
  /// Selected points (the object's point selection).
  BaseSelect* GetPointS() { return &pointSel_; }
  BaseSelect* GetPointH() { return &pointHidden_; }
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;

 private:
  BaseSelect pointSel_, pointHidden_;
};

/// A polygon mesh: points in its Tpoint tag, polygons in its Tpolygon tag.
class PolygonObject : public PointObject {
 public:
  PolygonObject() : PointObject(Opolygon) {}
  static PolygonObject* Alloc(Int32 pcnt, Int32 vcnt);
  Bool IsInstanceOf(Int32 id) const override { return PointObject::IsInstanceOf(id); }
  BaseList2D* AllocSame() const override { return new PolygonObject; }

  Int32 GetPolygonCount() const;
  const CPolygon* GetPolygonR() const;
  CPolygon* GetPolygonW();
  /// Resizes points and polygons (creating the data tags when missing).
  Bool ResizeObject(Int32 pcnt, Int32 vcnt);
  BaseSelect* GetPolygonS() { return &polySel_; }
  BaseSelect* GetPolygonH() { return &polyHidden_; }
  BaseSelect* GetEdgeS() { return &edgeSel_; }
  /// Four normals per polygon (corners a, b, c, d) from the object's normal tag or its phong
  /// tag, or null when it has neither. Free the result with DeleteMem.
  Vector32* CreatePhongNormals() const;
  /// Number of N-gons.
  Int32 GetNgonCount() const { return static_cast<Int32>(ngons_.size()); }
  /// One byte per polygon: bit k is set when edge k (corner k to corner k + 1, the last corner
  /// back to the first) lies inside an N-gon. Null when the object has no N-gons. The array
  /// is a copy: free it with DeleteMem.
  UChar* GetNgonEdgesCompact() const;
  Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const override;

  // Host internals: an N-gon is kept as its outline, the loop of point indices around it; the
  // polygons whose corners all lie on an outline make up that N-gon.
  void SetNgonOutlines(std::vector<std::vector<Int32>> outlines) { ngons_ = std::move(outlines); }
  const std::vector<std::vector<Int32>>& GetNgonOutlines() const { return ngons_; }

 private:
  BaseSelect polySel_, polyHidden_, edgeSel_;
  std::vector<std::vector<Int32>> ngons_;
};

/// A joint of a character rig.
class CAJointObject : public BaseObject {
 public:
  CAJointObject() : BaseObject(Ojoint) {}
  BaseList2D* AllocSame() const override { return new CAJointObject; }
  /// The bone of the joint: the matrix is placed at the joint with its third axis pointing
  /// along the bone towards the first child joint (the joint's own Z axis when it has none);
  /// `len` is the bone's length (0 without a child joint).
  void GetBone(Matrix& m, Float& len) const;
};

/// Frees memory the host handed out (phong normals and similar arrays).
template <typename T>
void DeleteMem(T*& p) {
  delete[] p;
  p = nullptr;
}
