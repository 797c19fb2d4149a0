#include "c4d_basedocument.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "c4d_host.h"

namespace {
BaseDocument* gActiveDocument = nullptr;
}  // namespace

BaseDocument* GetActiveDocument() { return gActiveDocument; }
void SetActiveDocument(BaseDocument* doc) { gActiveDocument = doc; }

/// One recorded change of an undo step.
struct UndoEntry {
  UNDOTYPE type = UNDOTYPE_0;
  UInt64 element = 0;                    // the live element
  std::unique_ptr<BaseList2D> snapshot;  // its state before the change
  std::vector<UInt64> tagIds;            // ids of the object's tags at the snapshot
  UInt64 parent = 0, pred = 0;           // where a deleted object was
};

struct BaseDocument::UndoStep {
  std::vector<UndoEntry> entries;
};

BaseDocument::BaseDocument() {
  objects_.document = this;
  materials_.document = this;
  layers_.document = this;
  auto* view = new BaseDraw;
  view->SetName(String("Perspective"));
  views_.emplace_back(view);
  // Every registered scene hook has its node in a document from the start, as in the host.
  for (const host::PluginInfo& p : host::Plugins()) {
    if (p.type == PLUGINTYPE::SCENEHOOK) FindSceneHook(p.id);
  }
  data_.SetData(DOCUMENT_DOCUNIT, GeData(UnitScaleData(1.0, DOCUMENT_UNIT::CM)));
  data_.SetInt32(DOCUMENT_MODE, Mmodel);
}

BaseDocument::~BaseDocument() {
  if (gActiveDocument == this) gActiveDocument = nullptr;
  undo_.clear();
  redo_.clear();
  open_.reset();
  FreeChain(&objects_);
  FreeChain(&materials_);
  for (auto& [id, hook] : hooks_) delete hook;
  hooks_.clear();
  views_.clear();
  FreeChain(&layers_);
}

void BaseDocument::InsertObject(BaseObject* op, BaseObject* parent, BaseObject* pred, Bool) {
  if (!op) return;
  if (pred) {
    op->InsertAfter(pred);
  } else if (parent) {
    op->InsertUnder(parent);
  } else {
    op->InsertFirst(&objects_);
  }
}

void BaseDocument::InsertObjectLast(BaseObject* op, BaseObject* parent) {
  if (!op) return;
  if (parent) {
    op->InsertUnderLast(parent);
  } else {
    op->InsertLast(&objects_);
  }
}

static BaseObject* Search(BaseObject* op, const String& name) {
  for (; op; op = op->GetNext()) {
    if (op->GetName() == name) return op;
    if (BaseObject* f = Search(op->GetDown(), name)) return f;
  }
  return nullptr;
}

BaseObject* BaseDocument::SearchObject(const String& name) const {
  return Search(GetFirstObject(), name);
}

void BaseDocument::InsertMaterial(BaseMaterial* mat, BaseMaterial* pred, Bool) {
  if (!mat) return;
  if (pred) {
    mat->InsertAfter(pred);
  } else {
    mat->InsertLast(&materials_);
  }
}

BaseMaterial* BaseDocument::SearchMaterial(const String& name) const {
  for (BaseMaterial* m = GetFirstMaterial(); m; m = m->GetNext()) {
    if (m->GetName() == name) return m;
  }
  return nullptr;
}

static void CollectActive(BaseObject* op, AtomArray& out, Bool children, Bool parentActive) {
  for (; op; op = op->GetNext()) {
    Bool active = op->GetBit(BIT_ACTIVE);
    if (active && (children || !parentActive)) out.Append(op);
    CollectActive(op->GetDown(), out, children, parentActive || active);
  }
}

BaseObject* BaseDocument::GetActiveObject() const {
  AtomArray arr;
  CollectActive(GetFirstObject(), arr, true, false);
  return arr.GetCount() == 1 ? static_cast<BaseObject*>(arr.GetIndex(0)) : nullptr;
}

void BaseDocument::GetActiveObjects(AtomArray& selection, GETACTIVEOBJECTFLAGS flags) const {
  selection.Flush();
  CollectActive(GetFirstObject(), selection, (flags & GETACTIVEOBJECTFLAGS_CHILDREN) != 0, false);
}

static void ClearBits(BaseObject* op, Int32 bit, Bool tags) {
  for (; op; op = op->GetNext()) {
    op->DelBit(bit);
    if (tags) {
      for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) t->DelBit(bit);
    }
    ClearBits(op->GetDown(), bit, tags);
  }
}

void BaseDocument::SetActiveObject(BaseObject* op, Int32 mode) {
  if (mode == SELECTION_NEW) ClearBits(GetFirstObject(), BIT_ACTIVE, false);
  if (!op) return;
  if (mode == SELECTION_SUB) {
    op->DelBit(BIT_ACTIVE);
  } else {
    op->SetBit(BIT_ACTIVE);
  }
}

static BaseTag* FindActiveTag(BaseObject* op) {
  for (; op; op = op->GetNext()) {
    for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
      if (t->GetBit(BIT_ACTIVE)) return t;
    }
    if (BaseTag* t = FindActiveTag(op->GetDown())) return t;
  }
  return nullptr;
}

BaseTag* BaseDocument::GetActiveTag() const { return FindActiveTag(GetFirstObject()); }

void BaseDocument::SetActiveTag(BaseTag* tag, Int32 mode) {
  if (mode == SELECTION_NEW) {
    for (BaseObject* op = GetFirstObject(); op; op = op->GetNext()) {
      for (BaseTag* t = FindActiveTag(op); t; t = FindActiveTag(op)) t->DelBit(BIT_ACTIVE);
    }
  }
  if (tag) tag->SetBit(BIT_ACTIVE);
}

Bool BaseDocument::StartUndo() {
  if (undoDepth_++ == 0) open_ = std::make_unique<UndoStep>();
  return true;
}

Bool BaseDocument::AddUndo(UNDOTYPE type, void* data) {
  if (!open_ || !data) return false;
  auto* element = static_cast<BaseList2D*>(data);
  UndoEntry e;
  e.type = type;
  e.element = element->GetUniqueId();
  if (type != UNDOTYPE_NEW) {
    e.snapshot.reset(element->GetClone(COPYFLAGS_NO_HIERARCHY));
    if (element->IsInstanceOf(Obase)) {
      auto* op = static_cast<BaseObject*>(element);
      for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext())
        e.tagIds.push_back(t->GetUniqueId());
      if (type == UNDOTYPE_DELETE) {
        e.parent = op->GetUp() ? op->GetUp()->GetUniqueId() : 0;
        e.pred = op->GetPred() ? op->GetPred()->GetUniqueId() : 0;
      }
    } else if (element->IsInstanceOf(Tbase)) {
      auto* tag = static_cast<BaseTag*>(element);
      e.parent = tag->GetObject() ? tag->GetObject()->GetUniqueId() : 0;
      e.pred = tag->GetPred() ? tag->GetPred()->GetUniqueId() : 0;
    }
  }
  open_->entries.push_back(std::move(e));
  return true;
}

Bool BaseDocument::EndUndo() {
  if (undoDepth_ == 0) return false;
  if (--undoDepth_ == 0) {
    undo_.push_back(std::move(open_));
    // A new step makes the undone ones unreachable, as in the host.
    redo_.clear();
  }
  return true;
}

Int32 BaseDocument::GetUndoStepCount() const { return static_cast<Int32>(undo_.size()); }

std::vector<UNDOTYPE> BaseDocument::GetUndoStepTypes(Int32 index) const {
  std::vector<UNDOTYPE> types;
  if (index < 0 || index >= GetUndoStepCount()) return types;
  for (const auto& e : undo_[static_cast<size_t>(index)]->entries) types.push_back(e.type);
  return types;
}

/// Puts an object's recorded state back, keeping the identity of tags that still exist.
static void RestoreObject(BaseObject* live, const UndoEntry& e) {
  std::unordered_map<UInt64, BaseTag*> oldTags;
  while (BaseTag* t = live->GetFirstTag()) {
    t->Remove();
    oldTags[t->GetUniqueId()] = t;
  }
  e.snapshot->CopyTo(live, COPYFLAGS_0);
  BaseTag* t = live->GetFirstTag();
  for (size_t k = 0; t && k < e.tagIds.size(); ++k) {
    BaseTag* next = t->GetNext();
    auto it = oldTags.find(e.tagIds[k]);
    if (it != oldTags.end()) {
      BaseTag* old = it->second;
      oldTags.erase(it);
      t->CopyTo(old, COPYFLAGS_0);
      old->InsertAfter(t);
      delete t;
    }
    t = next;
  }
  for (auto& [id, tag] : oldTags) delete tag;
}

/// Where `node` sits, for putting it back: its parent (an object for a tag) and predecessor.
static void RememberPlace(BaseList2D* node, UndoEntry* e) {
  if (node->IsInstanceOf(Tbase)) {
    auto* tag = static_cast<BaseTag*>(node);
    e->parent = tag->GetObject() ? tag->GetObject()->GetUniqueId() : 0;
    e->pred = tag->GetPred() ? tag->GetPred()->GetUniqueId() : 0;
  } else if (node->IsInstanceOf(Obase)) {
    auto* op = static_cast<BaseObject*>(node);
    e->parent = op->GetUp() ? op->GetUp()->GetUniqueId() : 0;
    e->pred = op->GetPred() ? op->GetPred()->GetUniqueId() : 0;
  }
}

std::unique_ptr<BaseDocument::UndoStep> BaseDocument::ApplyStep(UndoStep& step) {
  // Each entry is reverted, latest first, and its opposite recorded, so that applying the
  // returned step brings the state back.
  auto opposite = std::make_unique<UndoStep>();
  for (auto it = step.entries.rbegin(); it != step.entries.rend(); ++it) {
    UndoEntry& e = *it;
    BaseList2D* live = BaseList2D::FindByUniqueId(e.element);
    UndoEntry back;
    back.element = e.element;
    switch (e.type) {
      case UNDOTYPE_NEW:
        if (live) {
          // The element itself is kept, so that putting it back keeps its identity.
          back.type = UNDOTYPE_DELETE;
          RememberPlace(live, &back);
          live->Remove();
          back.snapshot.reset(live);
          opposite->entries.push_back(std::move(back));
        }
        break;
      case UNDOTYPE_DELETE: {
        // The element is put back unless it is already there (a snapshot that redo kept is
        // the element itself, known but in no list).
        if (!e.snapshot || (live && live != e.snapshot.get())) break;
        BaseList2D* restored = e.snapshot.release();
        auto* pred = static_cast<GeListNode*>(BaseList2D::FindByUniqueId(e.pred));
        auto* parent = BaseList2D::FindByUniqueId(e.parent);
        if (restored->IsInstanceOf(Tbase)) {
          auto* obj = static_cast<BaseObject*>(parent);
          if (obj) {
            obj->InsertTag(static_cast<BaseTag*>(restored), static_cast<BaseTag*>(pred));
          } else {
            delete restored;
            break;
          }
        } else if (pred) {
          restored->InsertAfter(pred);
        } else if (parent) {
          restored->InsertUnder(parent);
        } else {
          restored->InsertFirst(&objects_);
        }
        back.type = UNDOTYPE_NEW;
        back.element = restored->GetUniqueId();
        opposite->entries.push_back(std::move(back));
        break;
      }
      default:
        if (!live || !e.snapshot) break;
        back.type = e.type;
        back.snapshot.reset(live->GetClone(COPYFLAGS_NO_HIERARCHY));
        if (live->IsInstanceOf(Obase)) {
          auto* op = static_cast<BaseObject*>(live);
          for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext())
            back.tagIds.push_back(t->GetUniqueId());
          RestoreObject(op, e);
        } else {
          e.snapshot->CopyTo(live, COPYFLAGS_0);
        }
        live->SetDirty(DIRTYFLAGS_DATA);
        opposite->entries.push_back(std::move(back));
        break;
    }
  }
  std::reverse(opposite->entries.begin(), opposite->entries.end());
  return opposite;
}

Bool BaseDocument::DoUndo(Bool) {
  if (undo_.empty()) return false;
  std::unique_ptr<UndoStep> step = std::move(undo_.back());
  undo_.pop_back();
  redo_.push_back(ApplyStep(*step));
  return true;
}

Bool BaseDocument::DoRedo() {
  if (redo_.empty()) return false;
  std::unique_ptr<UndoStep> step = std::move(redo_.back());
  redo_.pop_back();
  undo_.push_back(ApplyStep(*step));
  return true;
}

Int32 BaseDocument::GetRedoStepCount() const { return static_cast<Int32>(redo_.size()); }

BaseSceneHook* BaseDocument::FindSceneHook(Int32 id) const {
  auto it = hooks_.find(id);
  if (it != hooks_.end()) return it->second;
  const host::PluginInfo* p = host::FindPlugin(id);
  if (!p || p->type != PLUGINTYPE::SCENEHOOK || !p->allocator) return nullptr;
  auto* node = new BaseSceneHook(id);
  NodeData* data = p->allocator();
  data->SetNodeInternal(node);
  node->SetNodeData(data);
  if (!data->Init(node)) {
    delete node;
    return nullptr;
  }
  hooks_[id] = node;
  return node;
}

BaseDraw* BaseDocument::GetBaseDraw(Int32 num) const {
  return num >= 0 && num < GetBaseDrawCount() ? views_[static_cast<size_t>(num)].get() : nullptr;
}

void BaseDocument::InsertBaseDraw(BaseDraw* bd) {
  if (!bd) return;
  if (views_.empty()) activeView_ = 0;
  views_.emplace_back(bd);
}

void BaseDocument::RemoveBaseDraws() {
  views_.clear();
  activeView_ = 0;
}

void BaseDocument::InsertLayer(LayerObject* layer) {
  if (layer) layer->InsertLast(&layers_);
}

LayerObject* BaseList2D::GetLayerObject(BaseDocument* doc) const {
  auto* layer = dynamic_cast<LayerObject*>(FindByUniqueId(layer_.id));
  if (!layer || (doc && layer->GetDocument() != doc)) return nullptr;
  return layer;
}

const LayerData* BaseList2D::GetLayerData(BaseDocument* doc, Bool) const {
  LayerObject* layer = GetLayerObject(doc);
  return layer ? &layer->GetLayerData() : nullptr;
}

Bool BaseList2D::SetLayerObject(LayerObject* layer) {
  layer_.id = layer ? layer->GetUniqueId() : 0;
  return true;
}
