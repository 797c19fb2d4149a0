// The mixer's rows and the walks over the document's morph objects that read and write their
// strengths by target name.
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "pmxmorph/pmxmorph.h"
#include "pmxmorphmixer/morphmixer.h"

namespace {

// Groups of the rows' layout.
constexpr Int32 kRowsGroup = 1;
constexpr Int32 kRowsScrollGroup = 2;
constexpr Int32 kRowsTable = 3;
// The host's scroll group flags for the rows: they scroll vertically.
constexpr Int32 kRowsScrollFlags = 0xA84;

constexpr Int32 kFirstTextId = 2000;
constexpr Int32 kFirstSliderId = 2001;

/// What a hidden row shows until it gets a name: the word for morph, padded with ideographic
/// spaces so that the name column starts wide enough.
String PlaceholderText() {
  return String(std::u16string(u"モーフ") + std::u16string(8, u'\u3000'));
}

Bool IsMorphObject(const BaseObject* op) { return op->GetType() == ID_PMXMORPHOBJECT; }

/// The object after `op` in a depth-first pre-order walk of `root` and everything below it.
BaseObject* NextInTree(BaseObject* op, const BaseObject* root) {
  if (BaseObject* down = op->GetDown()) return down;
  for (; op && op != root; op = op->GetUp()) {
    if (BaseObject* next = op->GetNext()) return next;
  }
  return nullptr;
}

/// Calls `f(k, target)` for every target k of the morph object `op` whose published link still
/// resolves to an object of `doc`; a link to a deleted or moved child is passed over.
template <typename F>
void ForEachTarget(BaseObject* op, BaseDocument* doc, F f) {
  const BaseContainer* bc = op->GetDataInstance();
  const Int32 count = bc->GetInt32(PMXMORPH_COUNT) - 1;
  for (Int32 k = 0; k < count; ++k) {
    const Int32 linkId = PmxMorphLinkId(k + 1);
    // Every evaluation writes all links below the count it stores; a count with no link
    // behind it was never published by one (a hand-written file), so nothing past it counts.
    if (!bc->IsSet(linkId)) break;
    if (BaseObject* target = bc->GetObjectLink(linkId, doc)) f(k, target);
  }
}

void SetStrength(BaseObject* op, Int32 k, Float v) {
  op->SetParameter(DescID(PmxMorphStrengthId(k)), GeData(v));
}

}  // namespace

MySubDialog1::MySubDialog1() : rows_(static_cast<size_t>(kMorphMixerRowLimit)) {}

Bool MySubDialog1::CreateLayout() {
  rowCount_ = 0;
  GroupBegin(kRowsGroup, BFH_SCALEFIT | BFV_SCALEFIT, 0, 0, String(), 0);
  ScrollGroupBegin(kRowsScrollGroup, BFH_SCALEFIT | BFV_SCALEFIT, kRowsScrollFlags);
  // Two columns: each name beside its slider. Hidden rows take no space.
  GroupBegin(kRowsTable, BFH_SCALEFIT | BFV_TOP, 2, 0, String(), 0);
  GroupBorderSpace(2, 0, 2, 0);
  const String placeholder = PlaceholderText();
  for (Int32 r = 0; r < kMorphMixerRowLimit; ++r) {
    MorphMixerRow& row = rows_[static_cast<size_t>(r)];
    row.used = 0;
    row.textId = kFirstTextId + 2 * r;
    row.textGadget = AddStaticText(row.textId, BFH_LEFT, 0, 0, placeholder, BORDER_NONE);
    HideElement(row.textGadget, true);
    row.sliderId = kFirstSliderId + 2 * r;
    row.sliderGadget = AddEditSlider(row.sliderId, BFH_SCALEFIT, 80, 0);
    HideElement(row.sliderGadget, true);
  }
  GroupEnd();
  GroupEnd();
  GroupEnd();
  return true;
}

Bool MySubDialog1::InitValues() {
  RefreshRows();
  return true;
}

Int32 MySubDialog1::Message(const BaseContainer& msg, BaseContainer& result) {
  return SubDialog::Message(msg, result);
}

Bool MySubDialog1::Command(Int32 id, const BaseContainer&) {
  if (id <= kFirstTextId) return true;
  const Int32 offset = id - kFirstSliderId;
  if (offset % 2 != 0 || offset / 2 >= kMorphMixerRowLimit) return true;
  MorphMixerRow& row = rows_[static_cast<size_t>(offset / 2)];
  // A hidden row still holds the name of an earlier refresh; nobody can move its slider.
  if (!row.used) return true;
  GetFloat(row.sliderGadget, row.strength);
  const Float v = row.strength / 100.0;
  BaseDocument* doc = GetActiveDocument();
  if (!doc) return true;
  Bool changed = false;
  for (BaseObject* op = doc->GetFirstObject(); op; op = op->GetNext()) {
    if (SetStrengthByName(op, doc, row.name, v)) changed = true;
  }
  if (changed) DrawViews(DRAWFLAGS_NO_THREAD);
  return true;
}

void MySubDialog1::RefreshRows() {
  Int32 x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  GetVisibleArea(kRowsScrollGroup, &x1, &y1, &x2, &y2);
  rowCount_ = 0;
  for (MorphMixerRow& row : rows_) row.used = 0;
  rowOfName_.clear();
  std::unordered_set<std::u16string> leftOut;
  leftOutNames_ = &leftOut;
  if (BaseDocument* doc = GetActiveDocument()) {
    for (BaseObject* op = doc->GetFirstObject(); op; op = op->GetNext())
      CollectTargetNames(op, doc);
  }
  leftOutNames_ = nullptr;
  for (const MorphMixerRow& row : rows_) {
    HideElement(row.textGadget, row.used == 0);
    HideElement(row.sliderGadget, row.used == 0);
  }
  SetVisibleArea(kRowsScrollGroup, x1, y1, x2, y2);
  LayoutChanged(kRowsGroup);

  // Refreshes come with every rebuild: the console hears of the names without a row once,
  // and again only when their number changes.
  leftOut_ = static_cast<Int32>(leftOut.size());
  if (leftOut_ != leftOutReported_ && leftOut_ > 0) {
    GePrint(String("モーフミキサー：モーフ名が") + String::IntToString(kMorphMixerRowLimit) +
            String("個を超えています。") + String::IntToString(leftOut_) +
            String("個の名前は表示されません。\n"));
  }
  leftOutReported_ = leftOut_;
}

void MySubDialog1::CollectTargetNames(BaseObject* root, BaseDocument* doc) {
  for (BaseObject* op = root; op; op = NextInTree(op, root)) {
    if (!IsMorphObject(op)) continue;
    const BaseContainer* bc = op->GetDataInstance();
    ForEachTarget(op, doc, [&](Int32 k, BaseObject* target) {
      AddRow(target->GetName(), 100.0 * bc->GetFloat(PmxMorphStrengthId(k)));
    });
  }
}

void MySubDialog1::AddRow(const String& name, Float percent) {
  // The first target met shows the value of a shared name.
  if (rowOfName_.count(name.GetUtf16())) return;
  if (rowCount_ >= kMorphMixerRowLimit) {
    if (leftOutNames_) leftOutNames_->insert(name.GetUtf16());
    return;
  }
  MorphMixerRow& row = rows_[static_cast<size_t>(rowCount_)];
  row.name = name;
  row.strength = percent;
  SetString(row.textGadget, name);
  SetFloat(row.sliderGadget, percent, 0.0, 100.0, 1.0, FORMAT_FLOAT);
  row.used = 1;
  rowOfName_.emplace(name.GetUtf16(), static_cast<Int32>(rowCount_));
  ++rowCount_;
}

void MySubDialog1::ApplyRowsToDocument(BaseDocument* doc, Bool recordUndo) {
  if (!doc) return;
  std::vector<BaseObject*> changed;
  for (BaseObject* top = doc->GetFirstObject(); top; top = top->GetNext()) {
    for (BaseObject* op = top; op; op = NextInTree(op, top)) {
      if (!IsMorphObject(op)) continue;
      if (recordUndo) doc->AddUndo(UNDOTYPE_CHANGE, op);
      Bool touched = false;
      // Names are unique among the rows, so each target takes at most one row's value.
      ForEachTarget(op, doc, [&](Int32 k, BaseObject* target) {
        auto it = rowOfName_.find(target->GetName().GetUtf16());
        if (it == rowOfName_.end()) return;
        SetStrength(op, k, rows_[static_cast<size_t>(it->second)].strength / 100.0);
        touched = true;
      });
      if (touched) changed.push_back(op);
    }
  }
  for (BaseObject* op : changed) op->Message(MSG_CHANGE);
}

Bool SetStrengthByName(BaseObject* root, BaseDocument* doc, const String& name, Float v) {
  Bool any = false;
  for (BaseObject* op = root; op; op = NextInTree(op, root)) {
    if (!IsMorphObject(op)) continue;
    Bool changed = false;
    ForEachTarget(op, doc, [&](Int32 k, BaseObject* target) {
      if (!(target->GetName() == name)) return;
      SetStrength(op, k, v);
      op->SetDirty(DIRTYFLAGS_DATA);
      op->Message(MSG_CHANGE);
      changed = true;
    });
    if (changed) {
      any = true;
      DrawViews(DRAWFLAGS_0);
    }
  }
  return any;
}

void ResetAllStrengths(BaseDocument* doc, Bool recordUndo) {
  if (!doc) return;
  for (BaseObject* top = doc->GetFirstObject(); top; top = top->GetNext()) {
    for (BaseObject* op = top; op; op = NextInTree(op, top)) {
      if (!IsMorphObject(op)) continue;
      if (recordUndo) doc->AddUndo(UNDOTYPE_CHANGE, op);
      ForEachTarget(op, doc, [&](Int32 k, BaseObject*) {
        SetStrength(op, k, 0.0);
        op->SetDirty(DIRTYFLAGS_DATA);
        op->Message(MSG_CHANGE);
      });
    }
  }
}
