// Scene evaluation: generators rebuild or reuse their results, and the objects they use as
// inputs are marked so that the editor and the savers leave them to the generator.
#include "c4d_basedocument.h"
#include "c4d_host.h"
#include "c4d_nodedata.h"

namespace {

// What a dependence records of an object: anything that would change a result built from it.
constexpr DIRTYFLAGS kDependenceDirty =
    static_cast<DIRTYFLAGS>(DIRTYFLAGS_DATA | DIRTYFLAGS_MATRIX | DIRTYFLAGS_CACHE);

/// Inputs are re-touched by their generators at every evaluation; an object taken out of a
/// generator must not stay hidden, so every mark goes before the cache pass. Marks that a
/// scene set for generators this host does not evaluate itself stay.
void ClearControlBits(BaseObject* op) {
  for (; op; op = op->GetNext()) {
    op->ClearTouch();
    ClearControlBits(op->GetDown());
  }
}

void BuildCaches(BaseObject* op, HierarchyHelp* hh) {
  for (; op; op = op->GetNext()) {
    BuildCaches(op->GetDown(), hh);
    if (!host::IsEvaluatedGenerator(op)) continue;
    auto* data = static_cast<ObjectData*>(op->GetNodeData());
    BaseObject* previous = op->GetCache();
    BaseObject* result = data->GetVirtualObjects(op, hh);
    if (result != previous) {
      op->SetCache(result);
      op->SetDirty(DIRTYFLAGS_CACHE);
    }
    op->MarkCacheBuilt();
  }
}

}  // namespace

Bool host::IsEvaluatedGenerator(const BaseObject* op) {
  return op && (op->GetInfo() & OBJECT_GENERATOR) && op->GetNodeData();
}

Bool host::IsVisibleInEditor(const BaseObject* op) {
  if (!op || op->GetBit(BIT_CONTROLOBJECT)) return false;
  for (const BaseObject* o = op; o; o = o->GetUp()) {
    if (o->GetEditorMode() != MODE_UNDEF) return o->GetEditorMode() == MODE_ON;
  }
  return true;
}

Bool BaseDocument::ExecutePasses(BaseThread* bt, Bool, Bool, Bool caches, BUILDFLAGS flags) {
  if (!caches) return true;
  ClearControlBits(GetFirstObject());
  HierarchyHelp hh(this, bt, flags);
  // What generators post while they rebuild reaches the dialogs once the whole document is
  // evaluated, as the host's main loop delivers it.
  host::HoldCoreMessages();
  BuildCaches(GetFirstObject(), &hh);
  host::ReleaseCoreMessages();
  return true;
}

void BaseObject::NewDependenceList() {
  previousDependences_.swap(dependences_);
  dependences_.clear();
}

void BaseObject::AddDependence(HierarchyHelp*, BaseObject* op) {
  if (!op) return;
  dependences_.push_back(Dependence{op->GetUniqueId(), op->GetDirty(kDependenceDirty)});
}

Bool BaseObject::CompareDependenceList() { return dependences_ == previousDependences_; }

void BaseObject::TouchDependenceList() {
  for (const Dependence& d : dependences_) {
    BaseList2D* node = BaseList2D::FindByUniqueId(d.id);
    if (node && node->IsInstanceOf(Obase)) static_cast<BaseObject*>(node)->Touch();
  }
}

void BaseObject::Touch() {
  SetBit(BIT_CONTROLOBJECT);
  touched_ = true;
  for (int i = 0; i < 8; ++i) touchedDirty_[i] = dirty_[i];
}

Bool BaseObject::CheckCache(HierarchyHelp*) {
  return !GetCache() || GetDirty(DIRTYFLAGS_CACHE) != builtCacheDirty_;
}

Bool BaseObject::IsDirty(DIRTYFLAGS flags) const {
  for (int i = 0; i < 8; ++i) {
    if ((flags & (1 << i)) && dirty_[i] != touchedDirty_[i]) return true;
  }
  return false;
}

void BaseObject::ClearTouch() {
  if (!touched_) return;
  DelBit(BIT_CONTROLOBJECT);
  touched_ = false;
}

void BaseObject::MarkCacheBuilt() {
  for (int i = 0; i < 8; ++i) touchedDirty_[i] = dirty_[i];
  builtCacheDirty_ = GetDirty(DIRTYFLAGS_CACHE);
}
