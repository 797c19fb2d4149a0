// The morph object in the host's scene evaluation: the weighted mix, cache reuse, the
// inputs it claims, its sliders, its two buttons with their undo, and many children.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "pmxmorph/pmxmorph.h"
#include "support/plugin_env.h"

namespace {

/// A document with one morph object; children are made from point lists.
class MorphScene {
 public:
  MorphScene() {
    EnsurePluginsRegistered();
    doc_ = BaseDocument::Alloc();
    morph_ = BaseObject::Alloc(ID_PMXMORPHOBJECT);
    morph_->SetName(String("Face"));
    doc_->InsertObject(morph_, nullptr, nullptr);
  }
  ~MorphScene() { BaseDocument::Free(doc_); }

  /// A polygon child (appended) holding `points`, with one triangle per three points.
  PolygonObject* Add(const char* name, const std::vector<Vector>& points) {
    const Int32 n = static_cast<Int32>(points.size());
    PolygonObject* op = PolygonObject::Alloc(n, n / 3);
    op->SetName(String(name));
    for (Int32 i = 0; i < n; ++i) op->GetPointW()[i] = points[static_cast<size_t>(i)];
    for (Int32 p = 0; p < n / 3; ++p) op->GetPolygonW()[p] = CPolygon(3 * p, 3 * p + 1, 3 * p + 2);
    doc_->InsertObjectLast(op, morph_);
    return op;
  }
  BaseObject* AddNull(const char* name) {
    BaseObject* op = BaseObject::Alloc(Onull);
    op->SetName(String(name));
    doc_->InsertObjectLast(op, morph_);
    return op;
  }
  void SetStrength(Int32 k, Float s) {
    morph_->SetParameter(DescID(PmxMorphStrengthId(k)), GeData(s));
  }
  Float Strength(Int32 k) const {
    return morph_->GetDataInstance()->GetFloat(PmxMorphStrengthId(k));
  }
  /// Evaluates the document and answers the morph object's result.
  PolygonObject* Evaluate() {
    doc_->ExecutePasses(nullptr, true, true, true, BUILDFLAGS_0);
    BaseObject* cache = morph_->GetCache();
    if (cache) {
      EXPECT_EQ(cache->GetType(), Opolygon);
    }
    return static_cast<PolygonObject*>(cache);
  }
  Bool Press(Int32 button) {
    DescriptionCommand dc;
    dc.id = DescID(button);
    return morph_->Message(MSG_DESCRIPTION_COMMAND, &dc);
  }

  BaseDocument* doc() const { return doc_; }
  BaseObject* morph() const { return morph_; }

 private:
  BaseDocument* doc_ = nullptr;
  BaseObject* morph_ = nullptr;
};

std::vector<Vector> Points(const PolygonObject* op) {
  return std::vector<Vector>(op->GetPointR(), op->GetPointR() + op->GetPointCount());
}

std::vector<Vector> Shifted(const std::vector<Vector>& pts, const Vector& by, size_t count) {
  std::vector<Vector> out = pts;
  for (size_t i = 0; i < count && i < out.size(); ++i) out[i] += by;
  return out;
}

const std::vector<Vector> kBase = {Vector(0, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0),
                                   Vector(1, 1, 0), Vector(2, 1, 0), Vector(1, 2, 0)};

Int32 SpecialEventCount(Int32 id) {
  Int32 n = 0;
  for (const auto& e : host::GetRecords().specialEvents) n += e.first == id ? 1 : 0;
  return n;
}

TEST(PmxMorphObjectMix, StrengthScalesTheTargetOffset) {
  MorphScene s;
  PolygonObject* base = s.Add("base", kBase);
  s.Add("smile", Shifted(kBase, Vector(2, 0, 0), kBase.size()));

  s.SetStrength(0, 0.5);
  PolygonObject* mix = s.Evaluate();
  ASSERT_NE(mix, nullptr);
  EXPECT_EQ(Points(mix), Shifted(kBase, Vector(1, 0, 0), kBase.size()));
  EXPECT_EQ(mix->GetName(), String("Face"));
  EXPECT_NE(mix, base);

  s.SetStrength(0, -1.0);  // not clamped: moves against the target
  EXPECT_EQ(Points(s.Evaluate()), Shifted(kBase, Vector(-2, 0, 0), kBase.size()));

  for (Float off : {0.0, 5e-8, -5e-8}) {
    s.SetStrength(0, off);
    EXPECT_EQ(Points(s.Evaluate()), kBase) << off;
  }
  // Points are compared locally: where the target sits in the scene does not matter.
  s.SetStrength(0, 1.0);
  base->GetNext()->SetRelPos(Vector(50, 0, 0));
  EXPECT_EQ(Points(s.Evaluate()), Shifted(kBase, Vector(2, 0, 0), kBase.size()));
  // The base itself was not changed by any of this.
  EXPECT_EQ(Points(base), kBase);
}

TEST(PmxMorphObjectMix, ShorterTargetMovesOnlyItsPoints) {
  MorphScene s;
  s.Add("base", kBase);
  std::vector<Vector> shorter = Shifted(kBase, Vector(0, 3, 0), kBase.size());
  shorter.resize(3);
  s.Add("short", shorter);
  s.SetStrength(0, 1.0);
  EXPECT_EQ(Points(s.Evaluate()), Shifted(kBase, Vector(0, 3, 0), 3));
}

TEST(PmxMorphObjectMix, NonPolygonChildDoesNotShiftStrengthIds) {
  MorphScene s;
  s.AddNull("null before base");
  PolygonObject* base = s.Add("base", kBase);
  s.AddNull("null between");
  PolygonObject* a = s.Add("a", Shifted(kBase, Vector(1, 0, 0), kBase.size()));
  s.AddNull("another null");
  PolygonObject* b = s.Add("b", Shifted(kBase, Vector(0, 0, 4), kBase.size()));
  s.SetStrength(1, 0.25);  // b only

  EXPECT_EQ(Points(s.Evaluate()), Shifted(kBase, Vector(0, 0, 1), kBase.size()));
  const BaseContainer* bc = s.morph()->GetDataInstance();
  EXPECT_EQ(bc->GetInt32(PMXMORPH_COUNT), 3);
  EXPECT_EQ(bc->GetLink(PMXMORPH_LINK + 0, s.doc()), base);
  EXPECT_EQ(bc->GetLink(PMXMORPH_LINK + 1, s.doc()), a);
  EXPECT_EQ(bc->GetLink(PMXMORPH_LINK + 2, s.doc()), b);

  Description d;
  ASSERT_TRUE(s.morph()->GetDescription(&d, DESCFLAGS_DESC_0));
  const DescriptionEntry* slider = d.Find(PMXMORPH_STRENGTH + 1);
  ASSERT_NE(slider, nullptr);
  EXPECT_EQ(slider->settings.GetString(DESC_NAME), String("b"));
  EXPECT_EQ(d.Find(PMXMORPH_STRENGTH + 2), nullptr);
}

TEST(PmxMorphObjectEvaluation, ReusesTheResultUntilAnInputChanges) {
  MorphScene s;
  PolygonObject* base = s.Add("base", kBase);
  PolygonObject* target = s.Add("t", Shifted(kBase, Vector(2, 0, 0), kBase.size()));
  s.SetStrength(0, 1.0);

  host::ClearRecords();
  PolygonObject* first = s.Evaluate();
  EXPECT_EQ(SpecialEventCount(ID_PMXMORPHMIXER), 1);
  EXPECT_EQ(s.Evaluate(), first);  // nothing changed: the same result, no new event
  EXPECT_EQ(SpecialEventCount(ID_PMXMORPHMIXER), 1);

  // Inputs are claimed: marked for the savers and hidden in the editor, the mix shown.
  EXPECT_TRUE(base->GetBit(BIT_CONTROLOBJECT));
  EXPECT_TRUE(target->GetBit(BIT_CONTROLOBJECT));
  EXPECT_FALSE(host::IsVisibleInEditor(base));
  EXPECT_FALSE(host::IsVisibleInEditor(target));
  EXPECT_TRUE(host::IsVisibleInEditor(s.morph()));

  // A changed target point (announced as the host expects) rebuilds the result.
  target->GetPointW()[0] = Vector(0, 0, 9);
  target->Message(MSG_UPDATE);
  EXPECT_EQ(s.Evaluate()->GetPointR()[0], Vector(0, 0, 9));
  EXPECT_EQ(SpecialEventCount(ID_PMXMORPHMIXER), 2);

  // A strength change rebuilds.
  s.SetStrength(0, 0.0);
  EXPECT_EQ(Points(s.Evaluate()), kBase);

  // A child taken out of the morph object is an ordinary object again.
  target->Remove();
  s.doc()->InsertObjectLast(target, nullptr);
  s.Evaluate();
  EXPECT_FALSE(target->GetBit(BIT_CONTROLOBJECT));
  EXPECT_TRUE(host::IsVisibleInEditor(target));
  EXPECT_EQ(s.morph()->GetDataInstance()->GetInt32(PMXMORPH_COUNT), 1);

  // Without any polygon child there is no result, and the count says so.
  base->Remove();
  s.doc()->InsertObjectLast(base, nullptr);
  s.AddNull("only a null");
  EXPECT_EQ(s.Evaluate(), nullptr);
  EXPECT_EQ(s.morph()->GetDataInstance()->GetInt32(PMXMORPH_COUNT), 0);
}

TEST(PmxMorphObjectEvaluation, TargetClaimedByAnotherGeneratorKeepsItsNumber) {
  MorphScene s;
  s.Add("base", kBase);
  PolygonObject* claimed = s.Add("claimed", Shifted(kBase, Vector(5, 0, 0), kBase.size()));
  PolygonObject* free = s.Add("free", Shifted(kBase, Vector(0, 2, 0), kBase.size()));
  // A scene may mark an object as the input of a generator this host does not evaluate.
  claimed->SetBit(BIT_CONTROLOBJECT);
  s.SetStrength(0, 1.0);
  s.SetStrength(1, 0.5);

  // The slider of "free" is 2001 in the attribute manager, so the mix must use 2001 for it.
  EXPECT_EQ(Points(s.Evaluate()), Shifted(kBase, Vector(0, 1, 0), kBase.size()));
  const BaseContainer* bc = s.morph()->GetDataInstance();
  EXPECT_EQ(bc->GetLink(PmxMorphLinkId(1), s.doc()), nullptr);
  EXPECT_EQ(bc->GetLink(PmxMorphLinkId(2), s.doc()), free);
}

TEST(PmxMorphObjectDescription, SlidersFollowTheTargetsNames) {
  MorphScene s;
  s.Add("base", kBase);
  PolygonObject* a = s.Add("あ", kBase);
  s.Add("い", kBase);
  s.SetStrength(0, 0.3);

  Description d;
  ASSERT_TRUE(s.morph()->GetDescription(&d, DESCFLAGS_DESC_0));
  ASSERT_NE(d.Find(PMXMORPH_ADD_TARGET), nullptr);
  ASSERT_NE(d.Find(PMXMORPH_BAKE_MIX), nullptr);
  const DescriptionEntry* first = d.Find(PMXMORPH_STRENGTH);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->type, DTYPE_REAL);
  EXPECT_EQ(first->group.id, PMXMORPH_STRENGTH_GROUP);
  EXPECT_EQ(first->settings.GetString(DESC_NAME), String("あ"));
  EXPECT_EQ(first->settings.GetInt32(DESC_CUSTOMGUI), CUSTOMGUI_REALSLIDER);
  EXPECT_EQ(first->settings.GetFloat(DESC_MAX), 1.0);
  EXPECT_EQ(first->settings.GetInt32(DESC_UNIT), DESC_UNIT_PERCENT);
  EXPECT_EQ(d.Find(PMXMORPH_STRENGTH + 1)->settings.GetString(DESC_NAME), String("い"));

  // Renaming renames the slider; moving the child hands its slider (and the strength at
  // that position) to whichever target now sits there.
  a->SetName(String("う"));
  Description renamed;
  s.morph()->GetDescription(&renamed, DESCFLAGS_DESC_0);
  EXPECT_EQ(renamed.Find(PMXMORPH_STRENGTH)->settings.GetString(DESC_NAME), String("う"));
  EXPECT_EQ(s.Strength(0), 0.3);
  a->Remove();
  s.doc()->InsertObjectLast(a, s.morph());
  Description moved;
  s.morph()->GetDescription(&moved, DESCFLAGS_DESC_0);
  EXPECT_EQ(moved.Find(PMXMORPH_STRENGTH)->settings.GetString(DESC_NAME), String("い"));
  EXPECT_EQ(moved.Find(PMXMORPH_STRENGTH + 1)->settings.GetString(DESC_NAME), String("う"));

  // Asked about one parameter, the object describes only that one.
  Description single;
  single.SetSingleDescID(DescID(PMXMORPH_STRENGTH + 1));
  s.morph()->GetDescription(&single, DESCFLAGS_DESC_0);
  EXPECT_EQ(single.Find(PMXMORPH_STRENGTH), nullptr);
  EXPECT_NE(single.Find(PMXMORPH_STRENGTH + 1), nullptr);
}

TEST(PmxMorphObjectButtons, AddTargetFromMixAppendsTheShownShape) {
  MorphScene s;
  PolygonObject* base = s.Add("base", kBase);
  base->MakeTag(Tphong);
  s.morph()->MakeTag(Ttexture);  // the mix carries it; a target must not
  s.Add("t", Shifted(kBase, Vector(2, 0, 0), kBase.size()));
  s.SetStrength(0, 0.5);

  // Without an evaluated result the button changes nothing.
  EXPECT_FALSE(PmxMorphObject::AddTargetFromMix(s.morph(), false));

  PolygonObject* mix = s.Evaluate();
  ASSERT_NE(mix->GetTag(Ttexture), nullptr);
  const std::vector<Vector> shown = Points(mix);
  const Int32 stepsBefore = s.doc()->GetUndoStepCount();
  s.Press(PMXMORPH_ADD_TARGET);
  s.Press(PMXMORPH_ADD_TARGET);
  EXPECT_EQ(s.doc()->GetUndoStepCount(), stepsBefore + 2);
  EXPECT_EQ(s.doc()->GetUndoStepTypes(stepsBefore + 1), std::vector<UNDOTYPE>{UNDOTYPE_NEW});

  auto* last = static_cast<PolygonObject*>(s.morph()->GetDownLast());
  auto* previous = static_cast<PolygonObject*>(last->GetPred());
  for (PolygonObject* added : {previous, last}) {
    EXPECT_EQ(added->GetName(), String("NewTarget"));
    EXPECT_EQ(Points(added), shown);
    std::set<Int32> tags;
    for (BaseTag* t = added->GetFirstTag(); t; t = t->GetNext()) tags.insert(t->GetType());
    EXPECT_EQ(tags, (std::set<Int32>{Tpoint, Tpolygon}));
  }
  // Their strengths read 0, so the shown mix stays.
  EXPECT_EQ(Points(s.Evaluate()), shown);

  ASSERT_TRUE(s.doc()->DoUndo());
  EXPECT_EQ(s.morph()->GetDownLast(), previous);
  EXPECT_EQ(Points(s.Evaluate()), shown);
}

TEST(PmxMorphObjectButtons, BakeMixIntoBaseKeepsTheShownShape) {
  MorphScene s;
  PolygonObject* base = s.Add("base", kBase);
  const std::vector<Vector> full = Shifted(kBase, Vector(0, 2, 0), kBase.size());
  PolygonObject* used = s.Add("used", full);
  const std::vector<Vector> unusedPts = Shifted(kBase, Vector(3, 0, 0), kBase.size());
  PolygonObject* unused = s.Add("unused", unusedPts);
  s.SetStrength(0, 1.0);

  EXPECT_FALSE(PmxMorphObject::BakeMixIntoBase(s.morph(), false));  // not evaluated yet
  EXPECT_EQ(Points(base), kBase);

  const std::vector<Vector> shown = Points(s.Evaluate());
  const Int32 stepsBefore = s.doc()->GetUndoStepCount();
  s.Press(PMXMORPH_BAKE_MIX);
  ASSERT_EQ(s.doc()->GetUndoStepCount(), stepsBefore + 1);

  EXPECT_EQ(Points(base), full);
  EXPECT_EQ(Points(used), full);  // the used target keeps its points...
  EXPECT_EQ(s.Strength(0), 0.0);  // ...and is switched off
  // The unused target moved with the base: its offset from the base is unchanged.
  EXPECT_EQ(Points(unused), Shifted(unusedPts, Vector(0, 2, 0), kBase.size()));
  EXPECT_EQ(Points(s.Evaluate()), shown);

  ASSERT_TRUE(s.doc()->DoUndo());
  EXPECT_EQ(Points(base), kBase);
  EXPECT_EQ(Points(unused), unusedPts);
  EXPECT_EQ(s.Strength(0), 1.0);
  EXPECT_EQ(Points(s.Evaluate()), shown);
}

TEST(PmxMorphObjectLimits, MoreThanAThousandChildrenKeepDistinctParameters) {
  MorphScene s;
  constexpr Int32 kTargets = 1200;
  s.Add("base", kBase);
  for (Int32 k = 0; k < kTargets; ++k) {
    const std::string name = "t" + std::to_string(k);
    s.Add(name.c_str(), Shifted(kBase, Vector(k == 1100 ? 1 : 0, k == 5 ? 1 : 0, 0), 1));
  }
  s.SetStrength(5, 1.0);
  s.SetStrength(1100, 0.5);

  PolygonObject* mix = s.Evaluate();
  ASSERT_NE(mix, nullptr);
  EXPECT_EQ(mix->GetPointR()[0], Vector(0.5, 1, 0));
  const BaseContainer* bc = s.morph()->GetDataInstance();
  EXPECT_EQ(bc->GetInt32(PMXMORPH_COUNT), kTargets + 1);

  // Every slider and every link has its own id, and the first thousand keep their places.
  std::set<Int32> ids = {PMXMORPH_ADD_TARGET, PMXMORPH_BAKE_MIX, PMXMORPH_COUNT};
  for (Int32 k = 0; k < kTargets; ++k) EXPECT_TRUE(ids.insert(PmxMorphStrengthId(k)).second);
  for (Int32 i = 0; i <= kTargets; ++i) EXPECT_TRUE(ids.insert(PmxMorphLinkId(i)).second);
  EXPECT_EQ(PmxMorphStrengthId(999), 2999);
  EXPECT_EQ(PmxMorphLinkId(1000), 4000);
  for (Int32 i = 0; i <= kTargets; ++i) {
    BaseList2D* linked = bc->GetLink(PmxMorphLinkId(i), s.doc());
    ASSERT_NE(linked, nullptr);
    EXPECT_EQ(linked->GetName(), String(i == 0 ? "base" : ("t" + std::to_string(i - 1)).c_str()));
  }

  Description d;
  ASSERT_TRUE(s.morph()->GetDescription(&d, DESCFLAGS_DESC_0));
  const DescriptionEntry* far = d.Find(PmxMorphStrengthId(1100));
  ASSERT_NE(far, nullptr);
  EXPECT_EQ(far->settings.GetString(DESC_NAME), String("t1100"));

  // The bake reads the same ids.
  s.Press(PMXMORPH_BAKE_MIX);
  EXPECT_EQ(s.Strength(1100), 0.0);
  EXPECT_EQ(PmxMorphObject::FindMorphBase(s.morph())->GetPointR()[0], Vector(0.5, 1, 0));
}

TEST(PmxMorphObjectRegistration, FindMorphBaseOnlyAnswersForMorphObjects) {
  MorphScene s;
  EXPECT_EQ(PmxMorphObject::FindMorphBase(s.morph()), nullptr);
  s.AddNull("n");
  PolygonObject* base = s.Add("base", kBase);
  EXPECT_EQ(PmxMorphObject::FindMorphBase(s.morph()), base);
  EXPECT_EQ(PmxMorphObject::FindMorphBase(base), nullptr);
  EXPECT_EQ(PmxMorphObject::FindMorphBase(nullptr), nullptr);

  const host::PluginInfo* p = host::FindPlugin(ID_PMXMORPHOBJECT);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->info, 12);
  EXPECT_EQ(p->name, String("Pmx Morph"));
  EXPECT_EQ(p->description, String("OPmxMorph"));
  // Second in the table, right after the saver.
  ASSERT_GE(host::Plugins().size(), 2u);
  EXPECT_EQ(host::Plugins()[0].id, ID_PMX_SAVER);
  EXPECT_EQ(host::Plugins()[1].id, ID_PMXMORPHOBJECT);
}

}  // namespace
