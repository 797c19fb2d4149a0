// Documents: the object tree, materials, selection, settings and undo.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "c4d_basedraw.h"
#include "c4d_basematerial.h"
#include "c4d_baseobject.h"

class BaseSceneHook;

enum UNDOTYPE : Int32 {
  UNDOTYPE_0 = 0,
  UNDOTYPE_CHANGE = 40,
  UNDOTYPE_CHANGE_NOCHILDREN = 41,
  UNDOTYPE_CHANGE_SMALL = 42,
  UNDOTYPE_CHANGE_SELECTION = 43,
  UNDOTYPE_NEW = 44,
  UNDOTYPE_DELETE = 45,
  UNDOTYPE_ACTIVATE = 46,
  UNDOTYPE_DEACTIVATE = 47,
  UNDOTYPE_BITS = 48,
};

enum GETACTIVEOBJECTFLAGS : Int32 {
  GETACTIVEOBJECTFLAGS_0 = 0,
  GETACTIVEOBJECTFLAGS_CHILDREN = 1,
  GETACTIVEOBJECTFLAGS_SELECTIONORDER = 2,
};

enum : Int32 {
  SELECTION_NEW = 0,
  SELECTION_ADD = 1,
  SELECTION_SUB = 2,
};

// Document settings read by plug-ins.
enum : Int32 {
  DOCUMENT_MODE = 1019,     // editing mode: Mpoints 5, Medges 6, Mpolygons 7, Mobject 1...
  DOCUMENT_DOCUNIT = 2117,  // unit-scale data of the document
};
enum : Int32 {
  Mobject = 1,
  Mmodel = 2,
  Mpoints = 5,
  Medges = 6,
  Mpolygons = 7,
};

constexpr Int32 Olayer = 100004801;

/// The settings of a layer.
struct LayerData {
  Bool solo = false;
  Bool view = true;  // shown in the editor
  Bool render = true;
  Bool manager = true;
  Bool locked = false;
  Bool generators = true;
  Bool deformers = true;
  Bool expressions = true;
  Bool animation = true;
  Vector color;
  Bool xref = true;
};

/// A layer of a document: objects, tags and materials put on it share its settings.
class LayerObject : public BaseList2D {
 public:
  static LayerObject* Alloc() { return new LayerObject; }
  static void Free(LayerObject*& l) {
    delete l;
    l = nullptr;
  }
  Int32 GetType() const override { return Olayer; }
  BaseList2D* AllocSame() const override { return new LayerObject; }
  LayerObject* GetNext() const { return static_cast<LayerObject*>(GeListNode::GetNext()); }
  const LayerData& GetLayerData() const { return layerData_; }
  void SetLayerData(const LayerData& data) { layerData_ = data; }

 private:
  LayerData layerData_;
};

class BaseDocument : public BaseList2D {
 public:
  BaseDocument();
  ~BaseDocument() override;
  static BaseDocument* Alloc() { return new BaseDocument; }
  static void Free(BaseDocument*& doc) {
    delete doc;
    doc = nullptr;
  }
  Int32 GetType() const override { return Dbasedocument; }
  BaseList2D* AllocSame() const override { return new BaseDocument; }
  BaseDocument* GetDocument() const override { return const_cast<BaseDocument*>(this); }

  BaseObject* GetFirstObject() const { return static_cast<BaseObject*>(objects_.first); }
  /// Inserts `op` under `parent` after `pred` (first child / first object when `pred` is null).
  void InsertObject(BaseObject* op, BaseObject* parent, BaseObject* pred, Bool checknames = false);
  /// Appends `op` as the last child of `parent` (last top-level object when null).
  void InsertObjectLast(BaseObject* op, BaseObject* parent = nullptr);
  BaseObject* SearchObject(const String& name) const;

  BaseMaterial* GetFirstMaterial() const { return static_cast<BaseMaterial*>(materials_.first); }
  void InsertMaterial(BaseMaterial* mat, BaseMaterial* pred = nullptr, Bool checknames = false);
  BaseMaterial* SearchMaterial(const String& name) const;

  BaseObject* GetActiveObject() const;
  /// Selected objects in tree order; without CHILDREN, objects under a selected parent are left
  /// out.
  void GetActiveObjects(AtomArray& selection, GETACTIVEOBJECTFLAGS flags) const;
  void SetActiveObject(BaseObject* op, Int32 mode = SELECTION_NEW);
  BaseTag* GetActiveTag() const;
  void SetActiveTag(BaseTag* tag, Int32 mode = SELECTION_NEW);
  Int32 GetMode() const { return data_.GetInt32(DOCUMENT_MODE, Mobject); }
  void SetMode(Int32 mode) { data_.SetInt32(DOCUMENT_MODE, mode); }

  Filename GetDocumentPath() const { return path_; }
  Filename GetDocumentName() const { return name_; }
  void SetDocumentPath(const Filename& p) { path_ = p; }
  void SetDocumentName(const Filename& n) { name_ = n; }

  // Undo: StartUndo opens a step, AddUndo records an element before (or, for UNDOTYPE_NEW,
  // after) its change, EndUndo closes the step. DoUndo reverts the last step.
  Bool StartUndo();
  Bool AddUndo(UNDOTYPE type, void* data);
  Bool EndUndo();
  Bool DoUndo(Bool multiple = false);
  /// Makes the last undone step again; a new step forgets the undone ones.
  Bool DoRedo();
  /// Number of undone steps that DoRedo can make again.
  Int32 GetRedoStepCount() const;
  /// Number of closed undo steps.
  Int32 GetUndoStepCount() const;
  /// Types recorded in step `index` (oldest first).
  std::vector<UNDOTYPE> GetUndoStepTypes(Int32 index) const;

  /// Evaluates the document as the host does before it draws, renders or saves it. With
  /// `caches`, every plug-in generator's result is rebuilt or reused through its
  /// GetVirtualObjects (children before their parents, so that inputs are ready); the
  /// inputs that generators touch carry BIT_CONTROLOBJECT afterwards. No plug-in of this
  /// host animates or registers expressions, so the other passes have nothing to run.
  Bool ExecutePasses(BaseThread* bt, Bool animation, Bool expressions, Bool caches,
                     BUILDFLAGS flags);

  /// The document's instance of scene hook `id`, or null.
  BaseSceneHook* FindSceneHook(Int32 id) const;

  /// The document's views: a new document has one, a perspective view.
  BaseDraw* GetActiveBaseDraw() const { return GetBaseDraw(activeView_); }
  BaseDraw* GetRenderBaseDraw() const { return GetActiveBaseDraw(); }
  BaseDraw* GetBaseDraw(Int32 num) const;
  Int32 GetBaseDrawCount() const { return static_cast<Int32>(views_.size()); }

  /// The first layer of the document's layer list.
  LayerObject* GetFirstLayer() const { return static_cast<LayerObject*>(layers_.first); }

  // Host internals.
  /// Appends a view (taking ownership); the first view inserted after RemoveBaseDraws
  /// becomes the active one.
  void InsertBaseDraw(BaseDraw* bd);
  void RemoveBaseDraws();
  void SetActiveBaseDraw(Int32 num) { activeView_ = num; }
  /// Appends a layer to the layer list (taking ownership).
  void InsertLayer(LayerObject* layer);

  // Host internals.
  Head* GetObjectHead() { return &objects_; }
  Head* GetMaterialHead() { return &materials_; }
  struct UndoStep;

 private:
  Head objects_;
  Head materials_;
  Head layers_;
  std::vector<std::unique_ptr<BaseDraw>> views_;
  Int32 activeView_ = 0;
  Filename path_, name_;
  std::vector<std::unique_ptr<UndoStep>> undo_;
  std::unique_ptr<UndoStep> open_;
  std::vector<std::unique_ptr<UndoStep>> redo_;
  std::unique_ptr<UndoStep> ApplyStep(UndoStep& step);
  Int32 undoDepth_ = 0;
  mutable std::map<Int32, BaseSceneHook*> hooks_;
};

/// The document the user works in (the host's active document).
BaseDocument* GetActiveDocument();
/// Host internals: makes `doc` the active document (not owned).
void SetActiveDocument(BaseDocument* doc);
