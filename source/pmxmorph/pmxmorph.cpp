#include "pmxmorph/pmxmorph.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Strengths below this are treated as off: the result is then exactly the base there.
constexpr Float kStrengthEpsilon = 1e-7;

// Ids from here on alternate strength, link, strength, link... for targets 1000 and later.
constexpr Int32 kExtendedIdBase = 100000;
constexpr Int32 kTargetsInFirstRange = 1000;

// GetClone flags for a copy that carries only geometry and tags.
constexpr COPYFLAGS kShapeCopy =
    static_cast<COPYFLAGS>(COPYFLAGS_NO_HIERARCHY | COPYFLAGS_NO_ANIMATION | COPYFLAGS_NO_BITS);

Bool IsPolygonChild(const BaseObject* op) { return op->GetType() == Opolygon; }

/// Moves `points[p]` by (target[p] - base[p]) * s for p below the three counts.
void AddScaledOffsets(Vector* points, Int32 count, const PolygonObject* base,
                      const PolygonObject* target, Float s) {
  const Vector* b = base->GetPointR();
  const Vector* t = target->GetPointR();
  if (!points || !b || !t) return;
  const Int32 n = std::min({count, base->GetPointCount(), target->GetPointCount()});
  for (Int32 p = 0; p < n; ++p) points[p] += (t[p] - b[p]) * s;
}

}  // namespace

Int32 PmxMorphStrengthId(Int32 k) {
  if (k < kTargetsInFirstRange) return PMXMORPH_STRENGTH + k;
  return kExtendedIdBase + 2 * (k - kTargetsInFirstRange);
}

Int32 PmxMorphLinkId(Int32 i) {
  if (i <= kTargetsInFirstRange) return PMXMORPH_LINK + i;
  return kExtendedIdBase + 2 * (i - 1 - kTargetsInFirstRange) + 1;
}

PolygonObject* PmxMorphObject::FindMorphBase(BaseObject* op) {
  if (!op || op->GetType() != ID_PMXMORPHOBJECT) return nullptr;
  for (BaseObject* c = op->GetDown(); c; c = c->GetNext()) {
    if (IsPolygonChild(c)) return static_cast<PolygonObject*>(c);
  }
  return nullptr;
}

Bool PmxMorphObject::Message(GeListNode* node, Int32 type, void* data) {
  if (type == MSG_DESCRIPTION_COMMAND && data) {
    const Int32 id = static_cast<DescriptionCommand*>(data)->id.id;
    if (id == PMXMORPH_ADD_TARGET || id == PMXMORPH_BAKE_MIX) {
      auto* op = static_cast<BaseObject*>(node);
      // An object outside a document has no undo to record into.
      BaseDocument* doc = op->GetDocument();
      if (doc) doc->StartUndo();
      if (id == PMXMORPH_ADD_TARGET) {
        AddTargetFromMix(op, doc != nullptr);
      } else {
        BakeMixIntoBase(op, doc != nullptr);
      }
      if (doc) doc->EndUndo();
    }
  }
  return ObjectData::Message(node, type, data);
}

Bool PmxMorphObject::GetDescription(GeListNode* node, Description* description,
                                    DESCFLAGS_DESC& flags) {
  if (!description->LoadDescription(node->GetType())) return false;
  const DescID* single = description->GetSingleDescID();

  BaseContainer slider = Description::GetCustomDataTypeDefault(DTYPE_REAL);
  slider.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_REALSLIDER);
  slider.SetFloat(DESC_MIN, 0.0);
  slider.SetFloat(DESC_MAX, 1.0);
  slider.SetFloat(DESC_STEP, 0.01);
  slider.SetInt32(DESC_UNIT, DESC_UNIT_PERCENT);
  slider.SetInt32(DESC_ANIMATE, DESC_ANIMATE_ON);
  slider.SetBool(DESC_REMOVEABLE, false);

  // Sliders follow the children's positions: renaming a target renames its slider, and its
  // strength stays with the position.
  Int32 k = 0;
  Bool baseSeen = false;
  for (BaseObject* c = static_cast<BaseObject*>(node)->GetDown(); c; c = c->GetNext()) {
    if (!IsPolygonChild(c)) continue;
    if (!baseSeen) {
      baseSeen = true;
      continue;
    }
    const DescID id(DescLevel(PmxMorphStrengthId(k), DTYPE_REAL, 0));
    ++k;
    if (single && !id.IsPartOf(*single, nullptr)) continue;
    slider.SetString(DESC_NAME, c->GetName());
    slider.SetString(DESC_SHORT_NAME, c->GetName());
    if (!description->SetParameter(id, slider, DescLevel(PMXMORPH_STRENGTH_GROUP))) return false;
  }
  flags = flags | DESCFLAGS_DESC_LOADED;
  return ObjectData::GetDescription(node, description, flags);
}

BaseObject* PmxMorphObject::GetVirtualObjects(BaseObject* op, HierarchyHelp* hh) {
  if (!op->GetDown()) return nullptr;
  op->NewDependenceList();
  Bool dirty = op->CheckCache(hh) || op->IsDirty(DIRTYFLAGS_DATA);

  // Children are numbered by their position among the polygon children, here as in the
  // sliders and the bake, so a strength always belongs to the same child. A target that
  // another generator already claimed (it carries the control-object bit before this
  // evaluation; the host takes back every earlier mark of this object first) keeps its
  // number but stays out of the mix, and its link is published empty. The list grows with
  // the children: there is no limit on their number.
  BaseContainer* bc = op->GetDataInstance();
  std::vector<PolygonObject*> shapes;  // index i: collected child i, null when claimed
  for (BaseObject* c = op->GetDown(); c; c = c->GetNext()) {
    if (!IsPolygonChild(c)) continue;
    const Int32 i = static_cast<Int32>(shapes.size());
    if (i > 0 && c->GetBit(BIT_CONTROLOBJECT)) {
      bc->SetLink(PmxMorphLinkId(i), nullptr);
      shapes.push_back(nullptr);
      continue;
    }
    op->AddDependence(hh, c);
    bc->SetLink(PmxMorphLinkId(i), c);
    shapes.push_back(static_cast<PolygonObject*>(c));
  }
  const Int32 count = static_cast<Int32>(shapes.size());
  bc->SetInt32(PMXMORPH_COUNT, count);
  if (count == 0) return nullptr;

  if (!dirty) dirty = !op->CompareDependenceList();
  op->TouchDependenceList();
  if (!dirty) return op->GetCache(hh);

  PolygonObject* base = shapes[0];
  auto* result = static_cast<PolygonObject*>(base->GetClone(kShapeCopy));
  if (!result) return nullptr;
  if (!op->CopyTagsTo(result, true, false, false, nullptr)) {
    BaseObject* dead = result;
    BaseObject::Free(dead);
    return nullptr;
  }
  result->SetName(op->GetName());

  Vector* points = result->GetPointW();
  const Int32 pointCount = result->GetPointCount();
  for (Int32 j = 1; j < count; ++j) {
    if (!shapes[static_cast<size_t>(j)]) continue;
    const Float s = bc->GetFloat(PmxMorphStrengthId(j - 1));
    if (std::abs(s) < kStrengthEpsilon) continue;
    AddScaledOffsets(points, pointCount, base, shapes[static_cast<size_t>(j)], s);
  }
  result->Message(MSG_CHANGE);
  SpecialEventAdd(ID_PMXMORPHMIXER, 0, 0);
  return result;
}

Bool PmxMorphObject::AddTargetFromMix(BaseObject* op, Bool recordUndo) {
  if (!FindMorphBase(op)) return false;
  BaseObject* mix = op->GetCache();
  if (!mix) return false;
  BaseObject* target = mix->GetClone(kShapeCopy);
  if (!target) return false;

  // A target is pure shape: the mix carries the base's and the morph object's tags.
  for (BaseTag* t = target->GetFirstTag(); t;) {
    BaseTag* next = t->GetNext();
    if (t->GetType() != Tpoint && t->GetType() != Tpolygon) {
      t->Remove();
      BaseTag::Free(t);
    }
    t = next;
  }
  target->SetName(String("NewTarget"));
  target->InsertUnderLast(op);
  BaseDocument* doc = op->GetDocument();
  if (recordUndo && doc) doc->AddUndo(UNDOTYPE_NEW, target);
  return true;
}

Bool PmxMorphObject::BakeMixIntoBase(BaseObject* op, Bool recordUndo) {
  PolygonObject* base = FindMorphBase(op);
  BaseObject* mix = op ? op->GetCache() : nullptr;
  if (!base || !mix || mix->GetType() != Opolygon) return false;
  const Int32 shown = static_cast<PolygonObject*>(mix)->GetPointCount();
  if (shown <= 0) return false;

  BaseDocument* doc = recordUndo ? op->GetDocument() : nullptr;
  std::vector<Vector> delta(static_cast<size_t>(shown));
  if (doc) doc->AddUndo(UNDOTYPE_CHANGE, op);

  // Targets in use give their share to the delta and drop to 0; the others move with the
  // base so that their offsets from it stay what they were.
  std::vector<PolygonObject*> keep{base};
  BaseContainer* bc = op->GetDataInstance();
  Int32 k = 0;
  for (BaseObject* c = base->GetNext(); c; c = c->GetNext()) {
    if (!IsPolygonChild(c)) continue;
    auto* target = static_cast<PolygonObject*>(c);
    const Int32 id = PmxMorphStrengthId(k++);
    const Float s = bc->GetFloat(id);
    if (std::abs(s) > kStrengthEpsilon) {
      AddScaledOffsets(delta.data(), shown, base, target, s);
      op->SetParameter(DescID(id), GeData(0.0));
    } else {
      keep.push_back(target);
    }
  }
  for (PolygonObject* f : keep) {
    if (doc) doc->AddUndo(UNDOTYPE_CHANGE, f);
    Vector* points = f->GetPointW();
    const Int32 n = std::min(shown, f->GetPointCount());
    for (Int32 p = 0; p < n; ++p) points[p] += delta[static_cast<size_t>(p)];
    f->Message(MSG_CHANGE);
  }
  op->SetDirty(DIRTYFLAGS_DESCRIPTION);
  op->Message(MSG_CHANGE);
  return true;
}

Bool RegisterPmxMorphObject() {
  return RegisterObjectPlugin(ID_PMXMORPHOBJECT, String("Pmx Morph"),
                              OBJECT_GENERATOR | OBJECT_INPUT, PmxMorphObject::Alloc,
                              String("OPmxMorph"), AutoBitmap(String("morphmixer.png")), 0);
}
