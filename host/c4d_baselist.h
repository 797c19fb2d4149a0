// List nodes and named, parameterised list elements: the base of objects, tags,
// materials, documents and scene hooks.
#pragma once

#include <memory>
#include <vector>

#include "c4d_basecontainer.h"

class NodeData;
class BaseDocument;
class GeListNode;
class BaseList2D;
class Description;
class LayerObject;
struct LayerData;

// Type identifiers used by the host and its plug-ins.
constexpr Int32 Obase = 5155;
constexpr Int32 Opoint = 5168;
constexpr Int32 Opolygon = 5100;
constexpr Int32 Onull = 5140;
constexpr Int32 Ojoint = 1019362;
constexpr Int32 Tbase = 5607;
constexpr Int32 Tvariable = 5608;
constexpr Int32 Tpoint = 5600;
constexpr Int32 Tpolygon = 5604;
constexpr Int32 Tphong = 5612;
constexpr Int32 Tdisplay = 5613;
constexpr Int32 Ttexture = 5616;
constexpr Int32 Tuvw = 5671;
constexpr Int32 Tpolygonselection = 5673;
constexpr Int32 Tpointselection = 5674;
constexpr Int32 Tvertexmap = 5682;
constexpr Int32 Tedgeselection = 5701;
constexpr Int32 Tnormal = 5711;
constexpr Int32 Tweights = 1019365;
constexpr Int32 Mbase = 5702;
constexpr Int32 Mmaterial = 5703;
constexpr Int32 Dbasedocument = 110059;
constexpr Int32 ID_BASELIST_NODE = 110050;

// Element bits.
constexpr Int32 BIT_ACTIVE = 0x2;
constexpr Int32 BIT_IGNOREDRAW = 0x4;
constexpr Int32 BIT_CONTROLOBJECT = 0x200;

// Messages sent to list elements.
constexpr Int32 MSG_CHANGE = 5;
constexpr Int32 MSG_UPDATE = 7;
constexpr Int32 MSG_DESCRIPTION_COMMAND = 18;
constexpr Int32 MSG_DESCRIPTION_CHECKDRAGANDDROP = 26;
constexpr Int32 MSG_MENUPREPARE = 100001;

// Copy flags of GetClone / CopyTo.
enum COPYFLAGS : Int32 {
  COPYFLAGS_0 = 0,
  COPYFLAGS_NO_HIERARCHY = 4,
  COPYFLAGS_NO_ANIMATION = 8,
  COPYFLAGS_NO_BITS = 16,
};

// Dirty counters of an element.
enum DIRTYFLAGS : Int32 {
  DIRTYFLAGS_0 = 0,
  DIRTYFLAGS_MATRIX = 2,
  DIRTYFLAGS_DATA = 4,
  DIRTYFLAGS_SELECT = 8,
  DIRTYFLAGS_CACHE = 16,
  DIRTYFLAGS_CHILDREN = 32,
  DIRTYFLAGS_DESCRIPTION = 64,
};

enum DESCFLAGS_GET : Int32 { DESCFLAGS_GET_0 = 0 };
enum DESCFLAGS_DESC : Int32;  // c4d_nodedata.h
enum DESCFLAGS_SET : Int32 { DESCFLAGS_SET_0 = 0 };

/// One level of a description id: the parameter id, its data type and its creator.
struct DescLevel {
  Int32 id = 0;
  Int32 dtype = 0;
  Int32 creator = 0;
  DescLevel(Int32 t_id, Int32 t_dtype = 0, Int32 t_creator = 0)
      : id(t_id), dtype(t_dtype), creator(t_creator) {}
};

/// Identifier of a description parameter (the first level is all this host uses).
struct DescID {
  Int32 id = 0;
  Int32 dtype = 0;
  DescID() = default;
  DescID(Int32 i) : id(i) {}
  DescID(const DescLevel& l) : id(l.id), dtype(l.dtype) {}
  bool operator==(const DescID& o) const { return id == o.id; }
  bool operator<(const DescID& o) const { return id < o.id; }
  /// Whether this id lies inside `cmp` (with one level: the ids are equal); `pos` receives
  /// the number of matching levels.
  Bool IsPartOf(const DescID& cmp, Int32* pos) const {
    if (pos) *pos = id == cmp.id ? 1 : 0;
    return id == cmp.id;
  }
};

/// Data of MSG_DESCRIPTION_COMMAND.
struct DescriptionCommand {
  DescID id;
};

/// Data of MSG_DESCRIPTION_CHECKDRAGANDDROP.
struct DescriptionCheckDragAndDrop {
  DescID id;
  GeListNode* element = nullptr;
  Bool result = true;
};

/// A node of the host's doubly linked element trees.
/// A node owns its children; a head owns the top-level chain of a branch.
class GeListNode {
 public:
  GeListNode() = default;
  GeListNode(const GeListNode&) = delete;
  GeListNode& operator=(const GeListNode&) = delete;
  virtual ~GeListNode();

  GeListNode* GetNext() const { return next_; }
  GeListNode* GetPred() const { return pred_; }
  GeListNode* GetUp() const { return up_; }
  GeListNode* GetDown() const { return down_; }
  GeListNode* GetDownLast() const;

  /// Inserts this (unlinked) node as the first / last child of `parent`.
  void InsertUnder(GeListNode* parent);
  void InsertUnderLast(GeListNode* parent);
  void InsertBefore(GeListNode* node);
  void InsertAfter(GeListNode* node);
  /// Unlinks the node; the caller owns it afterwards.
  void Remove();

  /// Plug-in instance behind a node of a plug-in type, else null.
  NodeData* GetNodeData(Int32 index = 0) const;
  template <typename T>
  T* GetNodeData() const {
    return static_cast<T*>(GetNodeData());
  }

  virtual Int32 GetType() const = 0;
  virtual Bool IsInstanceOf(Int32 id) const { return id == GetType(); }
  /// The document the node lives in, or null.
  virtual BaseDocument* GetDocument() const;
  /// Sends a message to the node (its plug-in instance answers it).
  Bool Message(Int32 type, void* data = nullptr);

  // Host internals: the chain a top-level node belongs to.
  struct Head {
    GeListNode* first = nullptr;
    BaseDocument* document = nullptr;  // document that owns the chain, if any
    GeListNode* owner = nullptr;       // element that owns the chain (tags: the object)
  };
  Head* GetHead() const;
  void InsertFirst(Head* head);
  void InsertLast(Head* head);
  static void FreeChain(Head* head);

 protected:
  std::unique_ptr<NodeData> nodeData_;

 private:
  friend class BaseList2D;
  void Unlink();
  GeListNode* next_ = nullptr;
  GeListNode* pred_ = nullptr;
  GeListNode* up_ = nullptr;
  GeListNode* down_ = nullptr;
  Head* head_ = nullptr;  // set on top-level nodes of a head's chain
};

/// A named list element with a parameter container, bits and dirty counters.
class BaseList2D : public GeListNode {
 public:
  BaseList2D();
  ~BaseList2D() override;

  String GetName() const { return name_; }
  void SetName(const String& name) { name_ = name; }
  BaseContainer* GetDataInstance() { return &data_; }
  const BaseContainer* GetDataInstance() const { return &data_; }
  BaseContainer GetData() const { return data_; }
  void SetData(const BaseContainer& bc, Bool add = true);

  Bool GetParameter(const DescID& id, GeData& t_data, DESCFLAGS_GET flags = DESCFLAGS_GET_0);
  /// Fills `description` as the attribute manager shows the element: its plug-in's
  /// GetDescription, or the description resource of its type.
  Bool GetDescription(Description* description, DESCFLAGS_DESC flags);
  Bool SetParameter(const DescID& id, const GeData& t_data, DESCFLAGS_SET flags = DESCFLAGS_SET_0);

  Int32 GetAllBits() const { return bits_; }
  Bool GetBit(Int32 mask) const { return (bits_ & mask) != 0; }
  void SetBit(Int32 mask) { bits_ |= mask; }
  void DelBit(Int32 mask) { bits_ &= ~mask; }
  void SetAllBits(Int32 bits) { bits_ = bits; }

  /// Increases the element's dirty counters for `flags`.
  void SetDirty(DIRTYFLAGS flags);
  /// Sum of the dirty counters selected by `flags` (changes whenever one of them is set).
  UInt32 GetDirty(DIRTYFLAGS flags) const;

  /// A deep copy (with children unless COPYFLAGS_NO_HIERARCHY); the caller owns it.
  BaseList2D* GetClone(COPYFLAGS flags, void* trn = nullptr) const;
  /// Copies this element's own content (name, container, bits, plug-in data) into `dst`.
  virtual Bool CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn = nullptr) const;

  /// The layer the element is on, or null.
  LayerObject* GetLayerObject(BaseDocument* doc) const;
  /// The settings of the element's layer, or null when it is on none.
  const LayerData* GetLayerData(BaseDocument* doc, Bool rawdata = false) const;
  /// Puts the element on `layer` (null: on no layer).
  Bool SetLayerObject(LayerObject* layer);

  /// Process-wide identity used by links; never reused.
  UInt64 GetUniqueId() const { return uniqueId_; }
  static BaseList2D* FindByUniqueId(UInt64 id);

  /// Host internals: gives the node its plug-in instance (taking ownership).
  void SetNodeData(NodeData* data);
  /// Creates a new, empty element of the same class and type (no content copied).
  virtual BaseList2D* AllocSame() const = 0;

 protected:
  String name_;
  BaseContainer data_;
  Int32 bits_ = 0;
  UInt32 dirty_[8] = {};
  UInt64 uniqueId_;
  GeLink layer_;
};

/// An array of list elements (the host's AtomArray).
class AtomArray {
 public:
  Int32 GetCount() const { return static_cast<Int32>(items_.size()); }
  GeListNode* GetIndex(Int32 i) const {
    return i >= 0 && i < GetCount() ? items_[static_cast<size_t>(i)] : nullptr;
  }
  void Append(GeListNode* n) { items_.push_back(n); }
  void Flush() { items_.clear(); }
  static AtomArray* Alloc() { return new AtomArray; }
  static void Free(AtomArray*& a) {
    delete a;
    a = nullptr;
  }

 private:
  std::vector<GeListNode*> items_;
};
