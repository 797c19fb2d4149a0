// The morph mixer as a person sees it in the headless host: rows joined by target name across
// morph objects, sliders and buttons writing strengths with their undo steps, the rows following
// rebuilds, focus and document changes, links gone stale, more names than rows, and its place
// in the module's start-up.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "pmxmorph/pmxmorph.h"
#include "pmxmorphmixer/morphmixer.h"
#include "support/plugin_env.h"
#include "support/pmx_scene.h"

namespace {

using namespace pmxtest;
using Row = std::pair<std::string, Float>;

class MorphMixer : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
    host::FocusDialog(nullptr);
    doc_ = std::make_unique<BaseDocument>();
    SetActiveDocument(doc_.get());
    command_ = static_cast<PmxMorphSubDialog*>(host::FindPlugin(ID_PMXMORPHMIXER)->command);
  }
  void TearDown() override {
    command_->GetDialog()->Close();
    SetActiveDocument(nullptr);
  }

  /// A morph object under `parent` with a base quad and one target per (name, strength), each
  /// target's points moved by (k + 1, 0, 0).
  BaseObject* AddMorph(const char* name, const std::vector<std::pair<const char*, Float>>& targets,
                       BaseObject* parent = nullptr) {
    BaseObject* morph = BaseObject::Alloc(ID_PMXMORPHOBJECT);
    morph->SetName(String(name));
    doc_->InsertObjectLast(morph, parent);
    AddQuad(doc_.get(), "Base", morph);
    for (size_t k = 0; k < targets.size(); ++k) {
      PolygonObject* t = AddQuad(doc_.get(), targets[k].first, morph);
      for (Int32 p = 0; p < 4; ++p) t->GetPointW()[p] += Vector(Float(k + 1), 0, 0);
      morph->SetParameter(DescID(PmxMorphStrengthId(Int32(k))), GeData(targets[k].second));
    }
    return morph;
  }
  static Float Strength(BaseObject* morph, Int32 k) {
    return morph->GetDataInstance()->GetFloat(PmxMorphStrengthId(k));
  }
  /// Evaluates the document as the host does before it draws (morph objects rebuild, then
  /// the dialogs hear of it); `changed` as after a person's edit (EventAdd).
  void Update(bool changed = false) {
    if (changed) EventAdd();
    host::RedrawDocument(doc_.get());
  }
  MainDialog* Open() {
    EXPECT_TRUE(command_->Execute(doc_.get()));
    return command_->GetDialog();
  }
  /// The rows a person sees, read from the window's gadgets: each visible slider with the
  /// static text before it.
  std::vector<Row> Rows() {
    std::vector<Row> rows;
    std::string name;
    for (const host::WindowGadget& g : host::WindowGadgets(command_->GetDialog())) {
      if (!g.visible) continue;
      if (g.state->kind == "STATICTEXT") name = g.state->label.GetUtf8();
      if (g.state->kind == "EDITSLIDER") rows.emplace_back(name, g.state->value.GetFloat());
    }
    return rows;
  }
  /// Moves the slider of the row `name` as a person would.
  bool Move(const std::string& name, Float percent) {
    MySubDialog1* rows = command_->GetDialog()->GetRows();
    for (Int64 r = 0; r < rows->GetRowCount(); ++r) {
      const MorphMixerRow& row = rows->GetRow(Int32(r));
      if (row.name.GetUtf8() == name) return rows->ChangeGadget(row.sliderId, GeData(percent));
    }
    return false;
  }
  bool Press(Int32 button) { return command_->GetDialog()->ChangeGadget(button, GeData(true)); }

  std::unique_ptr<BaseDocument> doc_;
  PmxMorphSubDialog* command_ = nullptr;
};

TEST_F(MorphMixer, RowsJoinTargetsByNameAcrossMorphObjects) {
  BaseObject* face = AddMorph("Face", {{"smile", 0.2}, {"a", 0.4}});
  AddMorph("BaseOnly", {});
  BaseObject* group = AddNull(doc_.get(), "Group");
  BaseObject* brows = AddMorph("Brows", {{"smile", 0.7}, {"blink", 1.0}}, group);
  Update();
  MainDialog* dlg = Open();
  EXPECT_EQ(host::FindOpenDialog(ID_PMXMORPHMIXER), dlg);
  EXPECT_EQ(dlg->GetDialogType(), DLG_TYPE_ASYNC);
  // The first morph object met sets a shared name's value; the nested one is found.
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 20}, {"a", 40}, {"blink", 100}}));
  const DialogGadgetState* slider = dlg->GetRows()->FindGadget(2001);
  EXPECT_EQ(slider->min, 0);
  EXPECT_EQ(slider->max, 100);
  EXPECT_EQ(slider->step, 1);
  EXPECT_EQ(slider->format, FORMAT_FLOAT);
  EXPECT_EQ(dlg->GetRows()->GetNamesLeftOut(), 0);

  host::ClearRecords();
  ASSERT_TRUE(Move("smile", 50));
  EXPECT_EQ(Strength(face, 0), 0.5);
  EXPECT_EQ(Strength(brows, 0), 0.5);
  EXPECT_EQ(Strength(face, 1), 0.4);
  // One redraw per changed morph object, one for the move; nothing is an undo step.
  EXPECT_EQ(host::GetRecords().drawViews,
            (std::vector<Int32>{DRAWFLAGS_0, DRAWFLAGS_0, DRAWFLAGS_NO_THREAD}));
  EXPECT_EQ(doc_->GetUndoStepCount(), 0);
  Update();
  auto* mix = static_cast<PolygonObject*>(brows->GetCache());
  ASSERT_NE(mix, nullptr);
  EXPECT_EQ(mix->GetPointR()[0], Vector(0.5 + 2.0, 0, 0));  // smile 0.5 * 1 + blink 1.0 * 2
  // A slider goes no further than its range; a static text is no control.
  ASSERT_TRUE(Move("a", 250));
  EXPECT_EQ(Strength(face, 1), 1.0);
  EXPECT_FALSE(dlg->GetRows()->ChangeGadget(2000, GeData(5.0)));
}

TEST_F(MorphMixer, EachButtonIsOneUndoStep) {
  BaseObject* face = AddMorph("Face", {{"smile", 0.2}, {"a", 0.4}});
  BaseObject* brows = AddMorph("Brows", {{"smile", 0.7}});
  Update();
  MainDialog* dlg = Open();
  host::ClearRecords();

  struct Case {
    Int32 button;
    Float face0, face1, brows0;
    std::vector<Row> rows;
  };
  // Reset zeroes every target; apply writes each row (smile shows the face's 20) everywhere.
  const Case cases[] = {{MORPH_MIXER_RESET, 0.0, 0.0, 0.0, {{"smile", 0}, {"a", 0}}},
                        {MORPH_MIXER_APPLY, 0.2, 0.4, 0.2, {{"smile", 20}, {"a", 40}}}};
  for (const Case& c : cases) {
    const Int32 steps = doc_->GetUndoStepCount();
    ASSERT_TRUE(Press(c.button)) << c.button;
    EXPECT_EQ(Strength(face, 0), c.face0) << c.button;
    EXPECT_EQ(Strength(face, 1), c.face1) << c.button;
    EXPECT_EQ(Strength(brows, 0), c.brows0) << c.button;
    EXPECT_EQ(Rows(), c.rows) << c.button;
    ASSERT_EQ(doc_->GetUndoStepCount(), steps + 1) << c.button;
    EXPECT_EQ(doc_->GetUndoStepTypes(steps),
              (std::vector<UNDOTYPE>{UNDOTYPE_CHANGE, UNDOTYPE_CHANGE}))
        << c.button;
    EXPECT_EQ(host::GetRecords().drawViews.back(), DRAWFLAGS_NO_THREAD);
    ASSERT_TRUE(doc_->DoUndo());
    EXPECT_EQ(Strength(face, 0), 0.2) << c.button;
    EXPECT_EQ(Strength(brows, 0), 0.7) << c.button;
    Update(true);
  }
  // Other gadgets of the window do nothing; without morph objects a button still makes its
  // (empty) step, and without a document none.
  EXPECT_TRUE(dlg->Command(MORPH_MIXER_ROWS, BaseContainer()));
  BaseDocument empty;
  SetActiveDocument(&empty);
  ASSERT_TRUE(Press(MORPH_MIXER_RESET));
  EXPECT_EQ(empty.GetUndoStepCount(), 1);
  EXPECT_TRUE(Rows().empty());
  SetActiveDocument(nullptr);
  EXPECT_TRUE(Press(MORPH_MIXER_APPLY));
  SetActiveDocument(doc_.get());
}

TEST_F(MorphMixer, RebuildsRefreshTheRowsOnlyWithoutTheFocus) {
  BaseObject* face = AddMorph("Face", {{"smile", 0.2}});
  Update();
  MainDialog* dlg = Open();
  EXPECT_FALSE(dlg->HasFocus());

  // A strength changed elsewhere (an animation, the attribute manager): the rebuild tells
  // the dialog, which shows the new value.
  face->SetParameter(DescID(PmxMorphStrengthId(0)), GeData(0.3));
  Update();
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 30}}));

  // Dragging gives the window the focus; rebuilds then leave the rows alone...
  ASSERT_TRUE(Move("smile", 60));
  EXPECT_TRUE(dlg->HasFocus());
  EXPECT_EQ(host::FocusedDialog(), dlg);
  face->SetParameter(DescID(PmxMorphStrengthId(0)), GeData(0.9));
  Update();
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 60}}));
  // ...unless the sender asks for the refresh, or the document changed.
  SpecialEventAdd(ID_PMXMORPHMIXER, 1, 0);
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 90}}));
  face->SetParameter(DescID(PmxMorphStrengthId(0)), GeData(0.1));
  Update(true);
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 10}}));

  // Losing the focus, also by closing, lets rebuilds through again.
  host::FocusDialog(nullptr);
  EXPECT_FALSE(dlg->HasFocus());
  ASSERT_TRUE(Move("smile", 60));
  dlg->Close();
  EXPECT_FALSE(dlg->HasFocus());
  EXPECT_EQ(host::FocusedDialog(), nullptr);
  EXPECT_TRUE(command_->RestoreLayout(nullptr));
  face->SetParameter(DescID(PmxMorphStrengthId(0)), GeData(0.25));
  Update();
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 25}}));
  EXPECT_EQ(command_->GetState(doc_.get()), CMD_ENABLED);
  EXPECT_FALSE(command_->Message(0, nullptr));
}

TEST_F(MorphMixer, DocumentChangesHideRowsKeepingTheScrollPosition) {
  BaseObject* face = AddMorph("Face", {{"smile", 0.2}});
  BaseObject* brows = AddMorph("Brows", {{"blink", 0.5}});
  Update();
  MainDialog* dlg = Open();
  MySubDialog1* rows = dlg->GetRows();
  ASSERT_TRUE(rows->SetVisibleArea(2, 0, 40, 200, 240));
  const Int32 layouts = rows->FindGadget(1)->layoutChanges;

  struct Step {
    const char* what;
    BaseObject* remove;
    std::vector<Row> rows;
  };
  const Step steps[] = {{"delete a morph object", brows, {{"smile", 20}}},
                        {"delete the last morph object", face, {}}};
  for (const Step& s : steps) {
    BaseObject* dead = s.remove;
    dead->Remove();
    BaseObject::Free(dead);
    Update(true);
    EXPECT_EQ(Rows(), s.rows) << s.what;
  }
  EXPECT_GT(rows->FindGadget(1)->layoutChanges, layouts);
  Int32 x1 = -1, y1 = -1, x2 = -1, y2 = -1;
  ASSERT_TRUE(rows->GetVisibleArea(2, &x1, &y1, &x2, &y2));
  EXPECT_EQ(std::vector<Int32>({x1, y1, x2, y2}), std::vector<Int32>({0, 40, 200, 240}));

  // An emptied document hides every row too.
  AddMorph("Again", {{"smile", 0.2}});
  Update(true);
  EXPECT_EQ(Rows().size(), 1u);
  while (BaseObject* op = doc_->GetFirstObject()) {
    op->Remove();
    BaseObject::Free(op);
  }
  Update(true);
  EXPECT_TRUE(Rows().empty());
  // Every hidden row keeps its gadgets, and nobody can move a hidden slider.
  EXPECT_EQ(rows->GetGadgets().size(), 3u + 2u * kMorphMixerRowLimit);
  EXPECT_FALSE(rows->ChangeGadget(2001, GeData(10.0)));
  EXPECT_TRUE(rows->Command(2001, BaseContainer()));
}

TEST_F(MorphMixer, StaleLinksAreSkippedAndKeepTheirStrength) {
  BaseObject* face = AddMorph("Face", {{"smile", 0.2}, {"a", 0.4}, {"blink", 0.6}});
  Update();
  MainDialog* dlg = Open();
  // The target "a" goes away; until the morph object rebuilds its link points nowhere.
  BaseObject* a = doc_->SearchObject(String("a"));
  a->Remove();
  BaseObject::Free(a);
  dlg->GetRows()->RefreshRows();
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 20}, {"blink", 60}}));
  ASSERT_TRUE(Press(MORPH_MIXER_RESET));
  EXPECT_EQ(Strength(face, 0), 0.0);
  EXPECT_EQ(Strength(face, 1), 0.4);
  EXPECT_EQ(Strength(face, 2), 0.0);

  // A target moved to another document is stale as well; a count that no evaluation wrote
  // (a hand-made parameter) finds nothing past the links there are.
  BaseDocument other;
  BaseObject* blink = doc_->SearchObject(String("blink"));
  blink->Remove();
  other.InsertObjectLast(blink);
  face->GetDataInstance()->SetInt32(PMXMORPH_COUNT, 2000000000);
  dlg->GetRows()->RefreshRows();
  EXPECT_EQ(Rows(), (std::vector<Row>{{"smile", 0}}));
}

TEST_F(MorphMixer, NamesPastTheLastRowAreLeftOutAndCounted) {
  std::vector<std::string> names;
  for (Int32 i = 0; i < kMorphMixerRowLimit + 5; ++i) names.push_back("m" + std::to_string(i));
  std::vector<std::pair<const char*, Float>> targets;
  for (const std::string& n : names) targets.emplace_back(n.c_str(), 0.0);
  // The same names again: a shared name past the limit is counted once.
  targets.emplace_back(names.back().c_str(), 0.0);
  BaseObject* morph = AddMorph("Many", targets);
  Update();
  host::ClearRecords();
  MainDialog* dlg = Open();
  const std::vector<Row> rows = Rows();
  ASSERT_EQ(rows.size(), size_t(kMorphMixerRowLimit));
  EXPECT_EQ(rows.back().first, names[size_t(kMorphMixerRowLimit) - 1]);
  EXPECT_EQ(dlg->GetRows()->GetNamesLeftOut(), 5);
  const auto mixerLines = [] {
    std::vector<std::string> lines;
    for (const String& l : host::ConsoleLines())
      if (l.GetUtf8().find("モーフミキサー") != std::string::npos) lines.push_back(l.GetUtf8());
    return lines;
  };
  ASSERT_EQ(mixerLines().size(), 1u);
  EXPECT_NE(mixerLines()[0].find("5個"), std::string::npos) << mixerLines()[0];
  // Further refreshes say nothing new; the last row works like any other.
  Update(true);
  EXPECT_EQ(mixerLines().size(), 1u);
  ASSERT_TRUE(Move(names[size_t(kMorphMixerRowLimit) - 1], 100));
  EXPECT_EQ(Strength(morph, kMorphMixerRowLimit - 1), 1.0);
  EXPECT_EQ(Strength(morph, kMorphMixerRowLimit), 0.0);
}

// ----- start-up -----

TEST(MorphMixerStartUp, ARefusedMixerStopsTheRowsAfterIt) {
  host::ResetRegistry();
  host::RefuseRegistration(ID_PMXMORPHMIXER);
  const std::string res = PluginDir() + "/res";
  host::SetCurrentModuleResourcePath(Filename(String(res)));
  resource.Init(Filename(String(res)));
  EXPECT_FALSE(PluginStart());
  host::SetCurrentModuleResourcePath(Filename());
  for (Int32 id : {ID_PMX_SAVER, ID_PMXMORPHOBJECT, ID_PMX_BONE_OPTION_TAG})
    EXPECT_NE(host::FindPlugin(id), nullptr) << id;
  EXPECT_EQ(host::Plugins().size(), 3u);
  host::ResetRegistry();
  EnsurePluginsRegistered();
  EXPECT_NE(host::FindPlugin(ID_WEIGHT_TRANSFER_TOOL), nullptr);
}

}  // namespace
