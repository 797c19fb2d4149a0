#include "c4d_basecontainer.h"

#include <cstdint>

#include "c4d_baselist.h"
#include "c4d_baseobject.h"

namespace {
const GeData kNil;
}

Float GetUnitLengthInMetres(DOCUMENT_UNIT unit) {
  switch (unit) {
    case DOCUMENT_UNIT::KM:
      return 1000.0;
    case DOCUMENT_UNIT::M:
      return 1.0;
    case DOCUMENT_UNIT::CM:
      return 0.01;
    case DOCUMENT_UNIT::MM:
      return 0.001;
    case DOCUMENT_UNIT::UM:
      return 1e-6;
    case DOCUMENT_UNIT::NM:
      return 1e-9;
    case DOCUMENT_UNIT::MILE:
      return 1609.344;
    case DOCUMENT_UNIT::YARD:
      return 0.9144;
    case DOCUMENT_UNIT::FOOT:
      return 0.3048;
    case DOCUMENT_UNIT::INCH:
      return 0.0254;
    default:
      return 0.01;
  }
}

Float CalculateTranslationScale(const UnitScaleData* src, const UnitScaleData* dst) {
  const UnitScaleData cm;
  if (!src) src = &cm;
  if (!dst) dst = &cm;
  Float srcLen = src->GetScale() * GetUnitLengthInMetres(src->GetUnit());
  Float dstLen = dst->GetScale() * GetUnitLengthInMetres(dst->GetUnit());
  if (dstLen == 0.0) return 1.0;
  return srcLen / dstLen;
}

GeData::GeData(const BaseContainer& v) : v_(std::make_shared<BaseContainer>(v)) {}

GeData::GeData(const BaseList2D* node) : v_(GeLink{node ? node->GetUniqueId() : 0}) {}

Int32 GeData::GetType() const {
  switch (v_.index()) {
    case 0:
      return DA_NIL;
    case 1:
      return DA_LONG;
    case 2:
      return DA_LLONG;
    case 3:
      return DA_REAL;
    case 4:
      return DA_VECTOR;
    case 5:
      return DA_MATRIX;
    case 6:
      return DA_STRING;
    case 7:
      return DA_FILENAME;
    case 8:
      return DA_ALIASLINK;
    case 9:
      return CUSTOMDATATYPE_UNITSCALE;
    case 10:
      return DA_CONTAINER;
  }
  return DA_NIL;
}

const CustomDataType* GeData::GetCustomDataType(Int32 datatype) const {
  if (GetType() != datatype) return nullptr;
  return std::get_if<UnitScaleData>(&v_);
}

const CustomDataType* BaseContainer::GetCustomDataType(Int32 id, Int32 datatype) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetCustomDataType(datatype) : nullptr;
}

Int32 GeData::GetInt32() const {
  if (auto p = std::get_if<Int32>(&v_)) return *p;
  if (auto p = std::get_if<Int64>(&v_)) return static_cast<Int32>(*p);
  if (auto p = std::get_if<Float>(&v_)) {
    // Parameters come from files too; a float outside the integer range must not be undefined.
    if (!(*p == *p)) return 0;
    if (*p >= 2147483647.0) return INT32_MAX;
    if (*p <= -2147483648.0) return INT32_MIN;
    return static_cast<Int32>(*p);
  }
  return 0;
}

Int64 GeData::GetInt64() const {
  if (auto p = std::get_if<Int64>(&v_)) return *p;
  if (auto p = std::get_if<Int32>(&v_)) return *p;
  return 0;
}

Float GeData::GetFloat() const {
  if (auto p = std::get_if<Float>(&v_)) return *p;
  if (auto p = std::get_if<Int32>(&v_)) return *p;
  if (auto p = std::get_if<Int64>(&v_)) return static_cast<Float>(*p);
  return 0.0;
}

Vector GeData::GetVector() const {
  if (auto p = std::get_if<Vector>(&v_)) return *p;
  return Vector();
}

Matrix GeData::GetMatrix() const {
  if (auto p = std::get_if<Matrix>(&v_)) return *p;
  return Matrix();
}

String GeData::GetString() const {
  if (auto p = std::get_if<String>(&v_)) return *p;
  if (auto p = std::get_if<Filename>(&v_)) return p->GetString();
  return String();
}

Filename GeData::GetFilename() const {
  if (auto p = std::get_if<Filename>(&v_)) return *p;
  if (auto p = std::get_if<String>(&v_)) return Filename(*p);
  return Filename();
}

const BaseContainer* GeData::GetContainer() const {
  if (auto p = std::get_if<std::shared_ptr<BaseContainer>>(&v_)) return p->get();
  return nullptr;
}

BaseList2D* GeData::GetLink(const BaseDocument* doc, Int32 instanceOf) const {
  auto p = std::get_if<GeLink>(&v_);
  if (!p || p->id == 0) return nullptr;
  BaseList2D* node = BaseList2D::FindByUniqueId(p->id);
  if (!node) return nullptr;
  if (doc && node->GetDocument() != doc) return nullptr;
  if (instanceOf && !node->IsInstanceOf(instanceOf)) return nullptr;
  return node;
}

bool GeData::operator==(const GeData& o) const {
  if (v_.index() != o.v_.index()) return false;
  if (auto a = std::get_if<std::shared_ptr<BaseContainer>>(&v_)) {
    auto b = std::get_if<std::shared_ptr<BaseContainer>>(&o.v_);
    return (*a)->Entries() == (*b)->Entries();
  }
  return v_ == o.v_;
}

const GeData* BaseContainer::GetDataPointer(Int32 id) const {
  auto it = data_.find(id);
  return it == data_.end() ? nullptr : &it->second;
}

const GeData& BaseContainer::GetData(Int32 id) const {
  const GeData* d = GetDataPointer(id);
  return d ? *d : kNil;
}

Bool BaseContainer::GetBool(Int32 id, Bool preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetBool() : preset;
}
Int32 BaseContainer::GetInt32(Int32 id, Int32 preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetInt32() : preset;
}
Int64 BaseContainer::GetInt64(Int32 id, Int64 preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetInt64() : preset;
}
Float BaseContainer::GetFloat(Int32 id, Float preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetFloat() : preset;
}
Vector BaseContainer::GetVector(Int32 id, const Vector& preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetVector() : preset;
}
Matrix BaseContainer::GetMatrix(Int32 id, const Matrix& preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetMatrix() : preset;
}
String BaseContainer::GetString(Int32 id, const String& preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetString() : preset;
}
Filename BaseContainer::GetFilename(Int32 id, const Filename& preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetFilename() : preset;
}
BaseList2D* BaseContainer::GetLink(Int32 id, const BaseDocument* doc, Int32 instanceOf) const {
  const GeData* d = GetDataPointer(id);
  return d ? d->GetLink(doc, instanceOf) : nullptr;
}
void* BaseContainer::GetVoid(Int32 id, void* preset) const {
  const GeData* d = GetDataPointer(id);
  return d ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(d->GetInt64())) : preset;
}

BaseObject* BaseContainer::GetObjectLink(Int32 id, const BaseDocument* doc) const {
  return static_cast<BaseObject*>(GetLink(id, doc, Obase));
}

BaseContainer BaseContainer::GetContainer(Int32 id) const {
  const GeData* d = GetDataPointer(id);
  const BaseContainer* c = d ? d->GetContainer() : nullptr;
  return c ? *c : BaseContainer();
}

Int32 BaseContainer::GetIndexId(Int32 index) const {
  if (index < 0 || index >= GetCount()) return NOTOK;
  auto it = data_.begin();
  std::advance(it, index);
  return it->first;
}

void BaseContainer::MergeContainer(const BaseContainer& src) {
  for (const auto& [k, v] : src.data_) data_[k] = v;
}
