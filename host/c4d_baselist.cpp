#include "c4d_baselist.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "c4d_nodedata.h"

namespace {
std::atomic<UInt64> gNextId{1};
std::mutex gLiveMutex;
std::unordered_map<UInt64, BaseList2D*>& LiveNodes() {
  static std::unordered_map<UInt64, BaseList2D*> nodes;
  return nodes;
}
}  // namespace

GeListNode::~GeListNode() {
  // Children are owned.
  while (down_) {
    GeListNode* c = down_;
    c->Unlink();
    delete c;
  }
  Unlink();
}

GeListNode* GeListNode::GetDownLast() const {
  GeListNode* c = down_;
  while (c && c->next_) c = c->next_;
  return c;
}

GeListNode::Head* GeListNode::GetHead() const {
  const GeListNode* n = this;
  while (n->up_) n = n->up_;
  return n->head_;
}

void GeListNode::Unlink() {
  if (pred_) {
    pred_->next_ = next_;
  } else if (up_) {
    up_->down_ = next_;
  } else if (head_ && head_->first == this) {
    head_->first = next_;
  }
  if (next_) next_->pred_ = pred_;
  next_ = pred_ = up_ = nullptr;
  head_ = nullptr;
}

void GeListNode::Remove() { Unlink(); }

void GeListNode::InsertUnder(GeListNode* parent) {
  Unlink();
  if (!parent) return;
  up_ = parent;
  next_ = parent->down_;
  if (next_) next_->pred_ = this;
  parent->down_ = this;
}

void GeListNode::InsertUnderLast(GeListNode* parent) {
  Unlink();
  if (!parent) return;
  GeListNode* last = parent->GetDownLast();
  if (!last) {
    InsertUnder(parent);
    return;
  }
  up_ = parent;
  pred_ = last;
  last->next_ = this;
}

void GeListNode::InsertBefore(GeListNode* node) {
  Unlink();
  if (!node) return;
  up_ = node->up_;
  head_ = node->head_;
  next_ = node;
  pred_ = node->pred_;
  if (pred_) {
    pred_->next_ = this;
  } else if (up_) {
    up_->down_ = this;
  } else if (head_) {
    head_->first = this;
  }
  node->pred_ = this;
}

void GeListNode::InsertAfter(GeListNode* node) {
  Unlink();
  if (!node) return;
  up_ = node->up_;
  head_ = node->head_;
  pred_ = node;
  next_ = node->next_;
  if (next_) next_->pred_ = this;
  node->next_ = this;
}

void GeListNode::InsertFirst(Head* head) {
  Unlink();
  head_ = head;
  next_ = head->first;
  if (next_) next_->pred_ = this;
  head->first = this;
}

void GeListNode::InsertLast(Head* head) {
  Unlink();
  GeListNode* last = head->first;
  while (last && last->next_) last = last->next_;
  if (!last) {
    InsertFirst(head);
    return;
  }
  head_ = head;
  pred_ = last;
  last->next_ = this;
}

void GeListNode::FreeChain(Head* head) {
  while (head->first) {
    GeListNode* n = head->first;
    n->Unlink();
    delete n;
  }
}

NodeData* GeListNode::GetNodeData(Int32) const { return nodeData_.get(); }

BaseDocument* GeListNode::GetDocument() const {
  Head* h = GetHead();
  if (!h) return nullptr;
  if (h->document) return h->document;
  if (h->owner) return h->owner->GetDocument();
  return nullptr;
}

Bool GeListNode::Message(Int32 type, void* data) {
  // A changed element is dirty for everything built from it (generators compare the dirty
  // state of their inputs).
  if (type == MSG_UPDATE || type == MSG_CHANGE) {
    if (auto* bl = dynamic_cast<BaseList2D*>(this)) bl->SetDirty(DIRTYFLAGS_DATA);
  }
  if (nodeData_) return nodeData_->Message(this, type, data);
  return true;
}

BaseList2D::BaseList2D() : uniqueId_(gNextId.fetch_add(1)) {
  std::lock_guard<std::mutex> lock(gLiveMutex);
  LiveNodes()[uniqueId_] = this;
}

BaseList2D::~BaseList2D() {
  {
    std::lock_guard<std::mutex> lock(gLiveMutex);
    LiveNodes().erase(uniqueId_);
  }
  if (nodeData_) nodeData_->Free(this);
}

BaseList2D* BaseList2D::FindByUniqueId(UInt64 id) {
  std::lock_guard<std::mutex> lock(gLiveMutex);
  auto it = LiveNodes().find(id);
  return it == LiveNodes().end() ? nullptr : it->second;
}

void BaseList2D::SetData(const BaseContainer& bc, Bool add) {
  if (add) {
    data_.MergeContainer(bc);
  } else {
    data_ = bc;
  }
  SetDirty(DIRTYFLAGS_DATA);
}

Bool BaseList2D::GetParameter(const DescID& id, GeData& t_data, DESCFLAGS_GET) {
  const GeData* d = data_.GetDataPointer(id.id);
  t_data = d ? *d : GeData();
  return d != nullptr;
}

Bool BaseList2D::SetParameter(const DescID& id, const GeData& t_data, DESCFLAGS_SET) {
  data_.SetData(id.id, t_data);
  SetDirty(DIRTYFLAGS_DATA);
  return true;
}

void BaseList2D::SetDirty(DIRTYFLAGS flags) {
  for (int i = 0; i < 8; ++i) {
    if (flags & (1 << i)) ++dirty_[i];
  }
}

UInt32 BaseList2D::GetDirty(DIRTYFLAGS flags) const {
  UInt32 sum = 0;
  for (int i = 0; i < 8; ++i) {
    if (flags & (1 << i)) sum += dirty_[i];
  }
  return sum;
}

void BaseList2D::SetNodeData(NodeData* data) { nodeData_.reset(data); }

Bool BaseList2D::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  dst->name_ = name_;
  dst->data_ = data_;
  if (!(flags & COPYFLAGS_NO_BITS)) dst->bits_ = bits_;
  dst->layer_ = layer_;
  if (nodeData_ && dst->nodeData_)
    return nodeData_->CopyTo(dst->nodeData_.get(), const_cast<BaseList2D*>(this), dst, flags, trn);
  return true;
}

BaseList2D* BaseList2D::GetClone(COPYFLAGS flags, void* trn) const {
  BaseList2D* dst = AllocSame();
  if (!dst) return nullptr;
  if (!CopyTo(dst, flags, trn)) {
    delete dst;
    return nullptr;
  }
  if (!(flags & COPYFLAGS_NO_HIERARCHY)) {
    for (GeListNode* c = GetDown(); c; c = c->GetNext()) {
      auto* child = static_cast<BaseList2D*>(c)->GetClone(flags, trn);
      if (!child) {
        delete dst;
        return nullptr;
      }
      child->InsertUnderLast(dst);
    }
  }
  return dst;
}
