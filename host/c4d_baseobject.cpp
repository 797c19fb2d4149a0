#include "c4d_baseobject.h"

#include <cstring>

#include "c4d_host.h"
#include "c4d_host_threads.h"

BaseObject* BaseObject::Alloc(Int32 type) {
  BaseObject* op = nullptr;
  if (type == Opolygon) {
    op = PolygonObject::Alloc(0, 0);
  } else if (type == Ojoint) {
    op = new CAJointObject;
  } else {
    op = new BaseObject(type);
  }
  const host::PluginInfo* p = host::FindPlugin(type);
  if (p && p->type == PLUGINTYPE::OBJECT && p->allocator) {
    NodeData* data = p->allocator();
    if (!data) {
      delete op;
      return nullptr;
    }
    data->SetNodeInternal(op);
    op->SetNodeData(data);
    if (!data->Init(op)) {
      delete op;
      return nullptr;
    }
  }
  return op;
}

namespace {

// A cache is a chain of siblings; deleting a node frees its children but not its next sibling.
void FreeSiblings(BaseObject* first) {
  while (first) {
    BaseObject* next = first->GetNext();
    delete first;
    first = next;
  }
}

}  // namespace

BaseObject::~BaseObject() {
  FreeChain(&tagHead_);
  FreeSiblings(cache_);
  FreeSiblings(deformCache_);
}

Int32 BaseObject::GetInfo() const {
  const host::PluginInfo* p = host::FindPlugin(type_);
  return p && p->type == PLUGINTYPE::OBJECT ? p->info : 0;
}

BaseDocument* BaseObject::GetDocument() const {
  if (cacheParent_) return cacheParent_->GetDocument();
  const GeListNode* n = this;
  while (n->GetUp()) n = n->GetUp();
  if (n != this) return static_cast<const BaseObject*>(n)->GetDocument();
  return GeListNode::GetDocument();
}

Bool BaseObject::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  auto* d = static_cast<BaseObject*>(dst);
  d->pos_ = pos_;
  d->rot_ = rot_;
  d->scale_ = scale_;
  d->rotOrder_ = rotOrder_;
  d->renderMode_ = renderMode_;
  d->editorMode_ = editorMode_;
  // A copy of a generator's input is an input until the next evaluation, like its original.
  d->touched_ = touched_ && !(flags & COPYFLAGS_NO_BITS);
  FreeChain(&d->tagHead_);
  for (BaseTag* t = GetFirstTag(); t; t = t->GetNext()) {
    BaseTag* c = t->GetClone(COPYFLAGS(flags | COPYFLAGS_NO_HIERARCHY), trn);
    if (!c) return false;
    d->InsertTagLast(c);
  }
  return BaseList2D::CopyTo(dst, flags, trn);
}

Matrix BaseObject::GetMl() const {
  Matrix r = HPBToMatrix(rot_, rotOrder_);
  r.v1 *= scale_.x;
  r.v2 *= scale_.y;
  r.v3 *= scale_.z;
  r.off = pos_;
  return r;
}

Matrix BaseObject::GetUpMg() const {
  if (BaseObject* up = GetUp()) return up->GetMg();
  if (cacheParent_) return cacheParent_->GetMg();
  return Matrix();
}

Matrix BaseObject::GetMg() const {
  if (!GetUp() && !cacheParent_) return GetMl();
  return GetUpMg() * GetMl();
}

void BaseObject::SetMg(const Matrix& mg) {
  Matrix ml = ~GetUpMg() * mg;
  pos_ = ml.off;
  scale_ = Vector(ml.v1.GetLength(), ml.v2.GetLength(), ml.v3.GetLength());
  // A mirroring matrix is a rotation with a negative Z scale; the angles cannot hold it.
  if (Dot(Cross(ml.v1, ml.v2), ml.v3) < 0) {
    scale_.z = -scale_.z;
    ml.v3 = -ml.v3;
  }
  rot_ = MatrixToHPB(ml, rotOrder_);
  SetDirty(DIRTYFLAGS_MATRIX);
}

BaseTag* BaseObject::GetLastTag() const {
  BaseTag* t = GetFirstTag();
  while (t && t->GetNext()) t = t->GetNext();
  return t;
}

BaseTag* BaseObject::GetTag(Int32 type, Int32 nr) const {
  for (BaseTag* t = GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() == type && nr-- == 0) return t;
  }
  return nullptr;
}

void BaseObject::InsertTag(BaseTag* tag, BaseTag* pred) {
  if (!tag) return;
  if (pred && pred->GetObject() == this) {
    tag->InsertAfter(pred);
  } else {
    tag->InsertFirst(&tagHead_);
  }
}

void BaseObject::InsertTagLast(BaseTag* tag) {
  if (tag) tag->InsertLast(&tagHead_);
}

BaseTag* BaseObject::MakeTag(Int32 type, BaseTag* pred) {
  BaseTag* t = BaseTag::Alloc(type);
  if (t) InsertTag(t, pred);
  return t;
}

void BaseObject::KillTag(Int32 type, Int32 nr) {
  BaseTag* t = GetTag(type, nr);
  BaseTag::Free(t);
}

Bool BaseObject::CopyTagsTo(BaseObject* dest, Int32 visible, Int32 variable, Int32,
                            void* trn) const {
  if (!dest) return false;
  for (BaseTag* t = GetFirstTag(); t; t = t->GetNext()) {
    // -1 accepts both kinds; otherwise the tag's kind must match.
    if (visible != -1 && (t->IsVisibleTag() ? 1 : 0) != visible) continue;
    if (variable != -1 && (t->IsVariableTag() ? 1 : 0) != variable) continue;
    BaseTag* c = t->GetClone(COPYFLAGS_0, trn);
    if (!c) return false;
    dest->InsertTagLast(c);
  }
  return true;
}

BaseObject* BaseObject::GetCache(HierarchyHelp*) const { return cache_; }
BaseObject* BaseObject::GetDeformCache() const { return deformCache_; }

void BaseObject::SetCache(BaseObject* cache) {
  if (cache_ == cache) return;
  FreeSiblings(cache_);
  cache_ = cache;
  for (BaseObject* c = cache_; c; c = c->GetNext()) c->cacheParent_ = this;
}

void BaseObject::SetDeformCache(BaseObject* cache) {
  if (deformCache_ == cache) return;
  FreeSiblings(deformCache_);
  deformCache_ = cache;
  for (BaseObject* c = deformCache_; c; c = c->GetNext()) c->cacheParent_ = this;
}

Int32 PointObject::GetPointCount() const {
  auto* t = static_cast<VariableTag*>(GetTag(Tpoint));
  return t ? t->GetDataCount() : 0;
}

const Vector* PointObject::GetPointR() const {
  auto* t = static_cast<VariableTag*>(GetTag(Tpoint));
  return t ? t->Read<Vector>() : nullptr;
}

Vector* PointObject::GetPointW() {
  auto* t = static_cast<VariableTag*>(GetTag(Tpoint));
  return t ? t->Write<Vector>() : nullptr;
}

Bool PointObject::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  auto* d = static_cast<PointObject*>(dst);
  d->pointSel_ = pointSel_;
  d->pointHidden_ = pointHidden_;
  return BaseObject::CopyTo(dst, flags, trn);
}

PolygonObject* PolygonObject::Alloc(Int32 pcnt, Int32 vcnt) {
  auto* op = new PolygonObject;
  if (!op->ResizeObject(pcnt, vcnt)) {
    delete op;
    return nullptr;
  }
  return op;
}

Int32 PolygonObject::GetPolygonCount() const {
  auto* t = static_cast<VariableTag*>(GetTag(Tpolygon));
  return t ? t->GetDataCount() : 0;
}

const CPolygon* PolygonObject::GetPolygonR() const {
  auto* t = static_cast<VariableTag*>(GetTag(Tpolygon));
  return t ? t->Read<CPolygon>() : nullptr;
}

CPolygon* PolygonObject::GetPolygonW() {
  auto* t = static_cast<VariableTag*>(GetTag(Tpolygon));
  return t ? t->Write<CPolygon>() : nullptr;
}

Bool PolygonObject::ResizeObject(Int32 pcnt, Int32 vcnt) {
  if (pcnt < 0 || vcnt < 0) return false;
  auto* pt = static_cast<VariableTag*>(GetTag(Tpoint));
  auto* pg = static_cast<VariableTag*>(GetTag(Tpolygon));
  if (!pg) {
    pg = VariableTag::Alloc(Tpolygon, 0);
    InsertTag(pg);
  }
  if (!pt) {
    pt = VariableTag::Alloc(Tpoint, 0);
    InsertTag(pt);
  }
  return pt->Resize(pcnt) && pg->Resize(vcnt);
}

Bool PolygonObject::CopyTo(BaseList2D* dst, COPYFLAGS flags, void* trn) const {
  auto* d = static_cast<PolygonObject*>(dst);
  d->polySel_ = polySel_;
  d->polyHidden_ = polyHidden_;
  d->edgeSel_ = edgeSel_;
  d->ngons_ = ngons_;
  return PointObject::CopyTo(dst, flags, trn);
}

namespace {

/// Below this many polygons a second thread costs more than it saves.
constexpr Int64 kWorthAThread = 32768;

Vector FaceNormal(const Vector* pts, const CPolygon& p) {
  Vector n = p.c == p.d ? Cross(pts[p.b] - pts[p.a], pts[p.c] - pts[p.a])
                        : Cross(pts[p.c] - pts[p.a], pts[p.d] - pts[p.b]);
  return n.GetNormalized();
}

}  // namespace

Vector32* PolygonObject::CreatePhongNormals() const {
  const Int32 pcnt = GetPolygonCount();
  const Int32 vcnt = GetPointCount();
  const CPolygon* polys = GetPolygonR();
  const Vector* pts = GetPointR();
  if (pcnt <= 0 || !polys || !pts) return nullptr;

  // Explicit normals (the host's normal tag) take precedence over phong shading.
  if (auto* nt = static_cast<VariableTag*>(GetTag(Tnormal))) {
    if (nt->GetDataCount() != pcnt) return nullptr;
    auto* out = new Vector32[static_cast<size_t>(pcnt) * 4];
    std::memcpy(static_cast<void*>(out), nt->GetDataAddressR(),
                sizeof(Vector32) * 4 * static_cast<size_t>(pcnt));
    return out;
  }
  BaseTag* phong = GetTag(Tphong);
  if (!phong) return nullptr;
  const BaseContainer* bc = phong->GetDataInstance();
  const Bool limit = bc->GetBool(PHONGTAG_PHONG_ANGLELIMIT, true);
  const Float angle = bc->GetFloat(PHONGTAG_PHONG_ANGLE, Rad(80.0));
  const Float cosLimit = std::cos(angle);

  std::vector<Vector> faceN(static_cast<size_t>(pcnt));
  host::InTwoHalves(pcnt, kWorthAThread, [&](Int64 begin, Int64 end) {
    for (Int64 i = begin; i < end; ++i) faceN[static_cast<size_t>(i)] = FaceNormal(pts, polys[i]);
  });

  // Polygons around each point (compressed adjacency).
  std::vector<Int32> start(static_cast<size_t>(vcnt) + 1, 0);
  auto corners = [&](const CPolygon& p) { return p.c == p.d ? 3 : 4; };
  for (Int32 i = 0; i < pcnt; ++i) {
    const CPolygon& p = polys[i];
    for (Int32 k = 0; k < corners(p); ++k) {
      Int32 v = p[k];
      if (v >= 0 && v < vcnt) ++start[static_cast<size_t>(v) + 1];
    }
  }
  for (size_t v = 0; v < static_cast<size_t>(vcnt); ++v) start[v + 1] += start[v];
  std::vector<Int32> adj(static_cast<size_t>(start.back()));
  std::vector<Int32> fill(start.begin(), start.end() - 1);
  for (Int32 i = 0; i < pcnt; ++i) {
    const CPolygon& p = polys[i];
    for (Int32 k = 0; k < corners(p); ++k) {
      Int32 v = p[k];
      if (v >= 0 && v < vcnt) adj[static_cast<size_t>(fill[static_cast<size_t>(v)]++)] = i;
    }
  }

  auto* out = new Vector32[static_cast<size_t>(pcnt) * 4];
  host::InTwoHalves(pcnt, kWorthAThread, [&](Int64 begin, Int64 end) {
    for (Int64 i = begin; i < end; ++i) {
      const CPolygon& p = polys[i];
      const Vector& own = faceN[static_cast<size_t>(i)];
      for (Int32 k = 0; k < 4; ++k) {
        Int32 v = p[k];
        Vector sum;
        if (v >= 0 && v < vcnt) {
          for (Int32 j = start[static_cast<size_t>(v)]; j < start[static_cast<size_t>(v) + 1];
               ++j) {
            const Vector& n = faceN[static_cast<size_t>(adj[static_cast<size_t>(j)])];
            if (!limit || Dot(n, own) >= cosLimit) sum += n;
          }
        }
        if (sum.IsZero()) sum = own;
        out[static_cast<size_t>(i) * 4 + static_cast<size_t>(k)] = Vector32(sum.GetNormalized());
      }
    }
  });
  return out;
}

void CAJointObject::GetBone(Matrix& m, Float& len) const {
  Matrix mg = GetMg();
  m.off = mg.off;
  len = 0;
  Vector dir = mg.v3.GetNormalized();
  for (BaseObject* c = GetDown(); c; c = c->GetNext()) {
    if (c->GetType() != Ojoint) continue;
    Vector d = c->GetMg().off - mg.off;
    if (d.GetLength() > 0) {
      len = d.GetLength();
      dir = d / len;
    }
    break;
  }
  if (dir.IsZero()) dir = Vector(0, 0, 1);
  // Keep the joint's Y axis as the up direction where it is not parallel to the bone.
  Vector up = mg.v2.GetNormalized();
  if (Cross(up, dir).GetLength() < 1e-9)
    up = std::abs(dir.y) < 0.9 ? Vector(0, 1, 0) : Vector(1, 0, 0);
  Vector x = Cross(up, dir).GetNormalized();
  Vector y = Cross(dir, x).GetNormalized();
  m.v1 = x;
  m.v2 = y;
  m.v3 = dir;
}

UChar* PolygonObject::GetNgonEdgesCompact() const {
  if (ngons_.empty()) return nullptr;
  const Int32 pc = GetPolygonCount();
  const CPolygon* polys = GetPolygonR();
  if (pc <= 0 || !polys) return nullptr;
  auto* flags = new UChar[static_cast<size_t>(pc)]();
  for (Int32 i = 0; i < pc; ++i) {
    const CPolygon& p = polys[i];
    const Int32 n = p.c == p.d ? 3 : 4;
    for (const std::vector<Int32>& outline : ngons_) {
      auto position = [&](Int32 point) -> Int64 {
        for (size_t k = 0; k < outline.size(); ++k) {
          if (outline[k] == point) return static_cast<Int64>(k);
        }
        return -1;
      };
      bool inside = true;
      for (Int32 k = 0; k < n && inside; ++k) inside = position(p[k]) >= 0;
      if (!inside) continue;
      const Int64 size = static_cast<Int64>(outline.size());
      for (Int32 k = 0; k < n; ++k) {
        const Int64 from = position(p[k]);
        const Int64 to = position(p[(k + 1) % n]);
        // Neighbours on the outline form its border; every other edge runs through the N-gon.
        const bool border = (from + 1) % size == to || (to + 1) % size == from;
        if (!border) flags[i] = static_cast<UChar>(flags[i] | (1 << k));
      }
      break;
    }
  }
  return flags;
}
