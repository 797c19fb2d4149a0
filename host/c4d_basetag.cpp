#include "c4d_basetag.h"

#include <algorithm>
#include <cstring>

#include "c4d_basematerial.h"
#include "c4d_baseobject.h"
#include "c4d_host.h"

BaseTag* BaseTag::Alloc(Int32 type) {
  switch (type) {
    case Tpoint:
    case Tpolygon:
    case Tvertexmap:
    case Tnormal:
      return VariableTag::Alloc(type, 0);
    case Tuvw:
      return UVWTag::Alloc(0);
    case Tpolygonselection:
    case Tpointselection:
    case Tedgeselection:
      return SelectionTag::Alloc(type);
    case Ttexture:
      return TextureTag::Alloc();
    case Tweights:
      return CAWeightTag::Alloc();
    default:
      break;
  }
  auto* tag = new BaseTag(type);
  const host::PluginInfo* p = host::FindPlugin(type);
  if (p && p->type == PLUGINTYPE::TAG && p->allocator) {
    NodeData* data = p->allocator();
    if (!data) {
      delete tag;
      return nullptr;
    }
    data->SetNodeInternal(tag);
    tag->SetNodeData(data);
    if (!data->Init(tag)) {
      delete tag;
      return nullptr;
    }
  }
  return tag;
}

BaseObject* BaseTag::GetObject() const {
  Head* h = GetHead();
  return h ? static_cast<BaseObject*>(h->owner) : nullptr;
}

Bool BaseTag::IsVisibleTag() const {
  const Int32 t = GetType();
  return t != Tpoint && t != Tpolygon && t != Tuvw && t != Tvertexmap && t != Tnormal &&
         t != Tpolygonselection && t != Tpointselection && t != Tedgeselection;
}

Int32 VariableTag::GetElementSize(Int32 type) {
  switch (type) {
    case Tpoint:
      return static_cast<Int32>(sizeof(Vector));
    case Tpolygon:
      return static_cast<Int32>(sizeof(CPolygon));
    case Tuvw:
      return static_cast<Int32>(sizeof(Vector32) * 4);
    case Tvertexmap:
      return static_cast<Int32>(sizeof(Float32));
    case Tnormal:
      return static_cast<Int32>(sizeof(Vector32) * 4);
    default:
      return 0;
  }
}

VariableTag::VariableTag(Int32 type, Int32 count)
    : BaseTag(type), elementSize_(GetElementSize(type)) {
  Resize(count);
}

VariableTag* VariableTag::Alloc(Int32 type, Int32 count) {
  if (GetElementSize(type) == 0 || count < 0) return nullptr;
  if (type == Tuvw) return UVWTag::Alloc(count);
  return new VariableTag(type, count);
}

Bool VariableTag::Resize(Int32 count) {
  if (count < 0) return false;
  data_.resize(static_cast<size_t>(count) * static_cast<size_t>(elementSize_));
  count_ = count;
  return true;
}

Bool VariableTag::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  auto* d = static_cast<VariableTag*>(dst);
  d->count_ = count_;
  d->elementSize_ = elementSize_;
  d->data_ = data_;
  return BaseTag::CopyTo(dst, flags, trn);
}

UVWStruct UVWTag::GetSlow(Int32 i) const {
  const Vector32* d = Read<Vector32>() + static_cast<size_t>(i) * 4;
  return UVWStruct(Vector(d[0]), Vector(d[1]), Vector(d[2]), Vector(d[3]));
}

void UVWTag::SetSlow(Int32 i, const UVWStruct& s) {
  Vector32* d = Write<Vector32>() + static_cast<size_t>(i) * 4;
  d[0] = Vector32(s.a);
  d[1] = Vector32(s.b);
  d[2] = Vector32(s.c);
  d[3] = Vector32(s.d);
}

Bool SelectionTag::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  sel_.CopyTo(static_cast<SelectionTag*>(dst)->GetBaseSelect());
  return BaseTag::CopyTo(dst, flags, trn);
}

BaseMaterial* TextureTag::GetMaterial(Bool) const {
  return static_cast<BaseMaterial*>(data_.GetLink(TEXTURETAG_MATERIAL, nullptr, Mbase));
}

void TextureTag::SetMaterial(BaseMaterial* mat) { data_.SetLink(TEXTURETAG_MATERIAL, mat); }

BaseObject* CAWeightTag::GetJoint(Int32 index, BaseDocument* doc) const {
  if (index < 0 || index >= GetJointCount()) return nullptr;
  GeData d;
  BaseList2D* n = BaseList2D::FindByUniqueId(joints_[static_cast<size_t>(index)].id);
  if (!n || !n->IsInstanceOf(Obase)) return nullptr;
  if (doc && n->GetDocument() != doc) return nullptr;
  return static_cast<BaseObject*>(n);
}

Int32 CAWeightTag::FindJoint(BaseObject* op, BaseDocument* doc) const {
  for (Int32 i = 0; i < GetJointCount(); ++i) {
    if (GetJoint(i, doc) == op) return i;
  }
  return NOTOK;
}

Int32 CAWeightTag::AddJoint(BaseObject* op) {
  if (!op) return NOTOK;
  for (Int32 i = 0; i < GetJointCount(); ++i) {
    if (joints_[static_cast<size_t>(i)].id == op->GetUniqueId()) return i;
  }
  joints_.push_back(GeLink{op->GetUniqueId()});
  weights_.emplace_back(static_cast<size_t>(pointCount_), 0.0);
  return GetJointCount() - 1;
}

Int32 host::AddJointWithWeights(CAWeightTag* tag, BaseObject* op, std::vector<Float>&& weights) {
  if (!tag || !op || tag->FindJoint(op) != NOTOK ||
      weights.size() != static_cast<size_t>(tag->pointCount_))
    return NOTOK;
  tag->joints_.push_back(GeLink{op->GetUniqueId()});
  tag->weights_.push_back(std::move(weights));
  return tag->GetJointCount() - 1;
}

void CAWeightTag::RemoveJoint(BaseObject* op) {
  for (size_t i = 0; i < joints_.size(); ++i) {
    if (op && joints_[i].id == op->GetUniqueId()) {
      joints_.erase(joints_.begin() + static_cast<std::ptrdiff_t>(i));
      weights_.erase(weights_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

Float CAWeightTag::GetWeight(Int32 index, Int32 pntidx) const {
  if (index < 0 || index >= GetJointCount() || pntidx < 0) return 0.0;
  const auto& w = weights_[static_cast<size_t>(index)];
  return static_cast<size_t>(pntidx) < w.size() ? w[static_cast<size_t>(pntidx)] : 0.0;
}

Bool CAWeightTag::SetWeight(Int32 index, Int32 pntidx, Float weight) {
  if (index < 0 || index >= GetJointCount() || pntidx < 0) return false;
  auto& w = weights_[static_cast<size_t>(index)];
  if (static_cast<size_t>(pntidx) >= w.size()) {
    // Growing is not safe while other threads write; callers reserve the point count first.
    ReservePoints(pntidx + 1);
  }
  w[static_cast<size_t>(pntidx)] = weight;
  return true;
}

void CAWeightTag::ReservePoints(Int32 count) {
  if (count <= pointCount_) return;
  pointCount_ = count;
  for (auto& w : weights_) w.resize(static_cast<size_t>(count), 0.0);
}

Bool CAWeightTag::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  auto* d = static_cast<CAWeightTag*>(dst);
  d->joints_ = joints_;
  d->weights_ = weights_;
  d->pointCount_ = pointCount_;
  return BaseTag::CopyTo(dst, flags, trn);
}
