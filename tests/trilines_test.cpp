// The viewport aids: the edge underscore tag, the triangulation line scene hook as the views
// record its calls, the switch commands and the options dialog, and their registration.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TPmxEdge.h"
#include "c4d.h"
#include "c4d_host.h"
#include "edgeunderscore/edgeunderscoretag.h"
#include "support/plugin_env.h"
#include "support/pmx_scene.h"
#include "triangulationlines/trilinesdraw.h"
#include "triangulationlines/trilinesoptions.h"
#include "triangulationlines/trilinesswitches.h"

namespace {

using namespace pmxtest;
using Line = std::pair<Vector, Vector>;

class TriLines : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
    doc_ = std::make_unique<BaseDocument>();
    SetActiveDocument(doc_.get());
    doc_->SetMode(Mpolygons);
  }
  void TearDown() override { SetActiveDocument(nullptr); }

  BaseContainer* Hook() { return FindTriLinesHook(doc_.get())->GetDataInstance(); }
  BaseDraw* View() { return doc_->GetActiveBaseDraw(); }

  std::vector<DrawCall> Redraw(Int32 displayMode = DISPLAYMODE_GOURAUD) {
    View()->SetDisplayMode(displayMode);
    host::RedrawDocument(doc_.get());
    return View()->GetCalls();
  }
  static std::vector<DrawCall> Only(const std::vector<DrawCall>& calls, DrawCall::Kind kind) {
    std::vector<DrawCall> out;
    for (const DrawCall& c : calls)
      if (c.kind == kind) out.push_back(c);
    return out;
  }
  std::vector<Line> Lines(Int32 displayMode = DISPLAYMODE_GOURAUD) {
    std::vector<Line> out;
    for (const DrawCall& c : Only(Redraw(displayMode), DrawCall::Kind::DrawLine))
      out.emplace_back(c.points[0], c.points[1]);
    return out;
  }
  size_t Shells(Int32 displayMode = DISPLAYMODE_GOURAUD) {
    return Only(Redraw(displayMode), DrawCall::Kind::DrawPolygon).size();
  }
  /// A selected quad with its lines switched on.
  PolygonObject* SelectedQuad(const char* name = "Quad") {
    PolygonObject* op = AddQuad(doc_.get(), name);
    doc_->SetActiveObject(op, SELECTION_ADD);
    Hook()->SetBool(TRI_LINES_DRAW, true);
    return op;
  }
  /// A quad facing away from the default editor camera, with an enabled PMX edge tag.
  PolygonObject* EdgedQuad(BaseObject* parent = nullptr) {
    PolygonObject* op = AddQuad(doc_.get(), "Edged", parent);
    AddPluginTag(op, ID_PMX_EDGE_TAG)
        ->GetDataInstance()
        ->SetVector(PMX_EDGE_COLOR, Vector(0.25, 0.5, 1));
    Hook()->SetBool(TRI_LINES_PMX_EDGE_DRAW, true);
    return op;
  }

  std::unique_ptr<BaseDocument> doc_;
};

bool SameLine(const Line& l, const Vector& a, const Vector& b) {
  return (l.first == a && l.second == b) || (l.first == b && l.second == a);
}

// ----- registration -----

size_t RegistryPosition(Int32 id) {
  const auto& p = host::Plugins();
  for (size_t i = 0; i < p.size(); ++i)
    if (p[i].id == id) return i;
  return p.size();
}

TEST_F(TriLines, EveryRowRegistersInTableOrder) {
  const Int32 order[] = {ID_PMX_SAVER,
                         ID_PMXMORPHOBJECT,
                         ID_PMX_BONE_OPTION_TAG,
                         ID_PMXMORPHMIXER,
                         ID_TRILINESDRAW,
                         ID_TRI_LINES_SWITCH,
                         ID_TRI_LINES_OPTIONS,
                         ID_PMX_EDGE_DRAW_SWITCH,
                         ID_PMX_EDGE_TAG,
                         ID_EDGE_UNDERSCORE_TAG,
                         ID_WEIGHT_COUNT_RESTRICTION,
                         ID_WEIGHT_TRANSFER_TOOL};
  EXPECT_EQ(host::Plugins().size(), std::size(order));
  for (size_t i = 0; i < std::size(order); ++i) EXPECT_EQ(RegistryPosition(order[i]), i) << i;
  const host::PluginInfo* hook = host::FindPlugin(ID_TRILINESDRAW);
  EXPECT_EQ(hook->type, PLUGINTYPE::SCENEHOOK);
  EXPECT_EQ(hook->priority, 5000);
  EXPECT_EQ(hook->name, GeLoadString(IDS_TRI_LINES_HOOK));
  const host::PluginInfo* tag = host::FindPlugin(ID_EDGE_UNDERSCORE_TAG);
  EXPECT_EQ(tag->name, String("Edge underscore"));
  EXPECT_EQ(tag->description, String("TEdgeUnderscore"));
  EXPECT_EQ(tag->info, TAG_VISIBLE);
  for (Int32 id : {ID_TRI_LINES_SWITCH, ID_TRI_LINES_OPTIONS, ID_PMX_EDGE_DRAW_SWITCH,
                   ID_EDGE_UNDERSCORE_TAG}) {
    EXPECT_TRUE(GeFExist(host::FindPlugin(id)->icon)) << id;
  }
  EXPECT_EQ(host::FindPlugin(ID_TRI_LINES_SWITCH)->name, GeLoadString(IDS_TRI_LINES_SWITCH));
  EXPECT_EQ(host::FindPlugin(ID_PMX_EDGE_DRAW_SWITCH)->name, GeLoadString(IDS_PMX_EDGE_SWITCH));
  const host::PluginInfo* mixer = host::FindPlugin(ID_PMXMORPHMIXER);
  ASSERT_NE(mixer, nullptr);
  EXPECT_EQ(mixer->type, PLUGINTYPE::COMMAND);
  EXPECT_EQ(mixer->name, GeLoadString(IDS_MORPH_MIXER));
  EXPECT_EQ(mixer->help, String());
  EXPECT_TRUE(GeFExist(mixer->icon));
}

class TriLinesStartUp : public ::testing::Test {
 protected:
  void TearDown() override {
    host::ResetRegistry();
    EnsurePluginsRegistered();
  }
  /// Starts the module from `res` as the host would; answers what Start answered.
  static bool Start(const std::string& res) {
    host::ResetRegistry();
    host::SetCurrentModuleResourcePath(Filename(String(res)));
    resource.Init(Filename(String(res)));
    const bool started = PluginStart();
    host::SetCurrentModuleResourcePath(Filename());
    return started;
  }
};

TEST_F(TriLinesStartUp, ARefusedRegistrationStopsTheChain) {
  host::ResetRegistry();
  host::RefuseRegistration(ID_TRI_LINES_OPTIONS);
  host::SetCurrentModuleResourcePath(Filename(String(PluginDir() + "/res")));
  resource.Init(Filename(String(PluginDir() + "/res")));
  EXPECT_FALSE(PluginStart());
  host::SetCurrentModuleResourcePath(Filename());
  EXPECT_NE(host::FindPlugin(ID_TRI_LINES_SWITCH), nullptr);
  for (Int32 id :
       {ID_PMX_EDGE_DRAW_SWITCH, ID_PMX_EDGE_TAG, ID_EDGE_UNDERSCORE_TAG, ID_WEIGHT_TRANSFER_TOOL})
    EXPECT_EQ(host::FindPlugin(id), nullptr) << id;
}

TEST_F(TriLinesStartUp, WithoutAHookNameTheHookIsAbsentAndTheSwitchesAreDisabled) {
  namespace fs = std::filesystem;
  const fs::path res = TempPath("res");
  fs::copy(PluginDir() + "/res", res, fs::copy_options::recursive);
  const fs::path table = res / "strings_us" / "c4d_strings.str";
  std::stringstream text;
  text << std::ifstream(table).rdbuf();
  std::string s = text.str();
  const size_t at = s.find("IDS_TRI_LINES_HOOK");
  s.erase(at, s.find('\n', at) - at);
  std::ofstream(table) << s;

  EXPECT_TRUE(Start(res.string()));
  EXPECT_EQ(host::FindPlugin(ID_TRILINESDRAW), nullptr);
  EXPECT_NE(host::FindPlugin(ID_WEIGHT_TRANSFER_TOOL), nullptr);
  BaseDocument doc;
  SetActiveDocument(&doc);
  EXPECT_EQ(doc.FindSceneHook(ID_TRILINESDRAW), nullptr);
  CommandData* lines = host::FindPlugin(ID_TRI_LINES_SWITCH)->command;
  EXPECT_EQ(lines->GetState(&doc), 0);
  host::ClearRecords();
  EXPECT_TRUE(lines->Execute(&doc));
  EXPECT_TRUE(host::GetRecords().specialEvents.empty());
  // The dialog opens but has nothing to show, and writes nothing.
  auto* options =
      static_cast<TriLinesOptionDlgCmd*>(host::FindPlugin(ID_TRI_LINES_OPTIONS)->command);
  ASSERT_TRUE(options->Execute(&doc));
  EXPECT_TRUE(options->GetDialog()->ChangeGadget(TRI_LINES_DRAW, GeData(true)));
  options->GetDialog()->Close();
  SetActiveDocument(nullptr);
}

// ----- the edge underscore tag -----

TEST_F(TriLines, UnderscoreTagDefaultsAndSelection) {
  PolygonObject* op = AddQuad(doc_.get(), "Quad");
  BaseTag* tag = AddPluginTag(op, ID_EDGE_UNDERSCORE_TAG);
  auto* underscore = tag->GetNodeData<EdgeUnderscoreTag>();
  EXPECT_TRUE(underscore->GetBool(EDGE_UNDERSCORE_DRAW));
  EXPECT_EQ(underscore->GetVector(EDGE_UNDERSCORE_COLOR),
            Vector(1.0, 0.5450980392156862, 0.545098066329956));
  EXPECT_EQ(underscore->GetString(EDGE_UNDERSCORE_SELECTION_NAME), String());
  EXPECT_EQ(underscore->GetUnderscoreSelection(), nullptr);

  auto* first = static_cast<SelectionTag*>(op->MakeTag(Tedgeselection, op->GetLastTag()));
  auto* second = static_cast<SelectionTag*>(op->MakeTag(Tedgeselection, op->GetLastTag()));
  second->SetName(String("wanted"));
  tag->GetDataInstance()->SetString(EDGE_UNDERSCORE_SELECTION_NAME, String("wanted"));
  // The name is stored only: the first edge selection is the one drawn.
  EXPECT_EQ(underscore->GetUnderscoreSelection(), first->GetBaseSelect());

  BaseObject* null = BaseObject::Alloc(Onull);
  doc_->InsertObjectLast(null);
  BaseTag* onNull = AddPluginTag(null, ID_EDGE_UNDERSCORE_TAG);
  EXPECT_EQ(onNull->GetNodeData<EdgeUnderscoreTag>()->GetUnderscoreSelection(), nullptr);
}

TEST_F(TriLines, UnderscoresDrawTheSelectedEdgesInTheTagColourAtTheViewsTransparency) {
  PolygonObject* op = SelectedQuad();
  BaseTag* tag = AddPluginTag(op, ID_EDGE_UNDERSCORE_TAG);
  auto* sel = static_cast<SelectionTag*>(op->MakeTag(Tedgeselection));
  sel->GetBaseSelect()->Select(1);  // b-c
  sel->GetBaseSelect()->Select(3);  // d-a
  // Edges past the last polygon name nothing and are left alone.
  sel->GetBaseSelect()->SelectAll(4, 40);
  View()->SetTransparency(-30);
  std::vector<DrawCall> lines = Only(Redraw(), DrawCall::Kind::DrawLine);
  ASSERT_EQ(lines.size(), 3u);
  const Vector color(1.0, 0.5450980392156862, 0.545098066329956);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(lines[i].pen, color);
    EXPECT_EQ(lines[i].transparency, -30);
    EXPECT_EQ(lines[i].zoffset, 4);
  }
  EXPECT_TRUE(SameLine({lines[0].points[0], lines[0].points[1]}, {1, 0, 0}, {1, 1, 0}));
  EXPECT_TRUE(SameLine({lines[1].points[0], lines[1].points[1]}, {0, 1, 0}, {0, 0, 0}));
  EXPECT_EQ(lines[2].transparency, -180);  // the diagonal
  EXPECT_EQ(View()->GetTransparency(), -30);

  tag->GetDataInstance()->SetBool(EDGE_UNDERSCORE_DRAW, false);
  EXPECT_EQ(Lines().size(), 1u);
  // Object mode shows nothing of the triangulation part, underscores included.
  tag->GetDataInstance()->SetBool(EDGE_UNDERSCORE_DRAW, true);
  doc_->SetMode(Mobject);
  EXPECT_TRUE(Lines().empty());
}

// ----- display modes -----

TEST_F(TriLines, DisplayModesDecideWhatIsDrawn) {
  struct Row {
    Int32 mode, category;
    bool edges, lines;
  };
  const Row rows[] = {
      {0, 1, true, true},    {7, 1, true, true},    {8, 1, true, true},    {1, 2, true, true},
      {9, 2, true, true},    {10, 2, true, true},   {100, 2, true, true},  {11, 4, true, true},
      {12, 4, true, true},   {1100, 4, true, true}, {14, 8, true, true},   {15, 8, true, true},
      {1400, 8, true, true}, {2, 0, false, true},   {3, 0, false, true},   {6, 0, false, true},
      {4, 0, false, false},  {5, 0, false, false},  {13, 0, false, false}, {16, 0, false, false},
      {-1, 0, false, false},
  };
  PolygonObject* op = SelectedQuad();
  EdgedQuad();
  static_cast<void>(op);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mode);
    EXPECT_EQ(TriLinesShadingCategory(r.mode), r.category);
    EXPECT_EQ(Shells(r.mode) > 0, r.edges);
    EXPECT_EQ(Lines(r.mode).size(), r.lines ? 1u : 0u);
  }
  // A category switched off in the hook hides the shells of its views only.
  Hook()->SetBool(TRI_LINES_PMX_EDGE_CONSTANT, false);
  for (Int32 mode : {11, 12, 1100}) EXPECT_EQ(Shells(mode), 0u) << mode;
  EXPECT_GT(Shells(0), 0u);
}

// ----- PMX edge shells -----

TEST_F(TriLines, ShellTrianglesFacingTheCameraInTheEdgeColour) {
  EdgedQuad();
  std::vector<DrawCall> calls = Redraw();
  std::vector<DrawCall> tris = Only(calls, DrawCall::Kind::DrawPolygon);
  ASSERT_EQ(tris.size(), 2u);
  for (const DrawCall& t : tris) {
    ASSERT_EQ(t.points.size(), 3u);
    EXPECT_EQ(t.colors, std::vector<Vector>(3, Vector(0.25, 0.5, 1)));
    EXPECT_EQ(t.normals, std::vector<Vector>(3, Vector()));
    EXPECT_EQ(t.zoffset, -1);
    EXPECT_EQ(t.lightList, -1);
  }
  EXPECT_EQ(calls.back().kind, DrawCall::Kind::SetMatrix);
  EXPECT_EQ(calls.back().zoffset, 0);

  // A scene camera on the other side sees the shell's other face: nothing.
  BaseObject* camera = BaseObject::Alloc(Ocamera);
  camera->SetRelPos(Vector(0, 0, 500));
  doc_->InsertObjectLast(camera);
  View()->SetSceneCamera(camera);
  EXPECT_EQ(Shells(), 0u);
  // The changes to 1102 are stored only.
  View()->SetSceneCamera(nullptr);
  Hook()->SetVector(TRI_LINES_PMX_EDGE_COLOR, Vector(1, 0, 0));
  EXPECT_EQ(Only(Redraw(), DrawCall::Kind::DrawPolygon)[0].colors[0], Vector(0.25, 0.5, 1));
}

TEST_F(TriLines, EdgeWalkFollowsVisibilityXRayLayersDisplayTagsAndCaches) {
  // The tag sits on a null above the mesh: the mesh inherits it.
  BaseObject* group = BaseObject::Alloc(Onull);
  doc_->InsertObjectLast(group);
  AddPluginTag(group, ID_PMX_EDGE_TAG);
  PolygonObject* mesh = AddQuad(doc_.get(), "Mesh", group);
  Hook()->SetBool(TRI_LINES_PMX_EDGE_DRAW, true);
  EXPECT_EQ(Shells(), 2u);

  struct Case {
    const char* what;
    std::function<void()> apply, undo;
  };
  LayerObject* layer = LayerObject::Alloc();
  doc_->InsertLayer(layer);
  LayerData hidden;
  hidden.view = false;
  layer->SetLayerData(hidden);
  BaseTag* display = nullptr;
  const Case cases[] = {
      {"editor visibility off above", [&] { group->SetEditorMode(MODE_OFF); },
       [&] { group->SetEditorMode(MODE_UNDEF); }},
      {"x-ray above", [&] { group->GetDataInstance()->SetBool(ID_BASEOBJECT_XRAY, true); },
       [&] { group->GetDataInstance()->SetBool(ID_BASEOBJECT_XRAY, false); }},
      {"hidden layer", [&] { mesh->SetLayerObject(layer); },
       [&] { mesh->SetLayerObject(nullptr); }},
      {"do-not-draw bit", [&] { mesh->SetBit(BIT_IGNOREDRAW); },
       [&] { mesh->DelBit(BIT_IGNOREDRAW); }},
      {"control object", [&] { mesh->SetBit(BIT_CONTROLOBJECT); },
       [&] { mesh->DelBit(BIT_CONTROLOBJECT); }},
      {"display tag with lines only",
       [&] {
         display = mesh->MakeTag(Tdisplay);
         display->GetDataInstance()->SetBool(DISPLAYTAG_AFFECT_DISPLAYMODE, true);
         display->GetDataInstance()->SetInt32(DISPLAYTAG_SDISPLAYMODE, 6);
       },
       [&] { mesh->KillTag(Tdisplay); }},
      {"edge tag switched off",
       [&] { group->GetTag(ID_PMX_EDGE_TAG)->GetDataInstance()->SetBool(PMX_EDGE_DRAW, false); },
       [&] { group->GetTag(ID_PMX_EDGE_TAG)->GetDataInstance()->SetBool(PMX_EDGE_DRAW, true); }},
  };
  for (const Case& c : cases) {
    c.apply();
    EXPECT_EQ(Shells(), 0u) << c.what;
    c.undo();
    EXPECT_EQ(Shells(), 2u) << "after " << c.what;
  }
  // Visibility switched on below an invisible parent wins.
  group->SetEditorMode(MODE_OFF);
  mesh->SetEditorMode(MODE_ON);
  EXPECT_EQ(Shells(), 2u);
  mesh->SetEditorMode(MODE_UNDEF);
  group->SetEditorMode(MODE_UNDEF);

  // A generator's tag governs the polygon objects of its cache; the generator itself has
  // nothing to draw.
  BaseObject* generator = BaseObject::Alloc(Onull);
  doc_->InsertObjectLast(generator);
  AddPluginTag(generator, ID_PMX_EDGE_TAG);
  generator->SetCache(AddQuad(nullptr, "Cache"));
  EXPECT_EQ(Shells(), 4u);
  generator->GetDataInstance()->SetBool(ID_BASEOBJECT_XRAY, true);
  EXPECT_EQ(Shells(), 2u);
}

// ----- triangulation lines -----

TEST_F(TriLines, LinesOfQuadsTrianglesNgonsAndHiddenPolygons) {
  // Two quads and a fan of three triangles that make one N-gon around points 6..10.
  PolygonObject* op = AddMesh(doc_.get(), "Mesh",
                              {{0, 0, 0},
                               {1, 0, 0},
                               {1, 1, 0},
                               {0, 1, 0},
                               {2, 0, 0},
                               {2, 1, 0},
                               {5, 0, 0},
                               {6, 0, 0},
                               {7, 1, 0},
                               {6, 2, 0},
                               {5, 2, 0}},
                              {CPolygon(0, 1, 2, 3), CPolygon(1, 4, 5, 2), CPolygon(6, 7, 8),
                               CPolygon(6, 8, 9), CPolygon(6, 9, 10)});
  op->SetNgonOutlines({{6, 7, 8, 9, 10}});
  doc_->SetActiveObject(op);
  Hook()->SetBool(TRI_LINES_DRAW, true);
  std::vector<DrawCall> calls = Only(Redraw(), DrawCall::Kind::DrawLine);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_TRUE(SameLine({calls[0].points[0], calls[0].points[1]}, {0, 0, 0}, {1, 1, 0}));
  EXPECT_TRUE(SameLine({calls[1].points[0], calls[1].points[1]}, {1, 0, 0}, {2, 1, 0}));
  // The two inner edges of the N-gon, each once although two triangles share it.
  EXPECT_TRUE(SameLine({calls[2].points[0], calls[2].points[1]}, {5, 0, 0}, {7, 1, 0}));
  EXPECT_TRUE(SameLine({calls[3].points[0], calls[3].points[1]}, {5, 0, 0}, {6, 2, 0}));
  for (const DrawCall& c : calls) {
    EXPECT_EQ(c.pen, Vector(0.4, 0.6, 0.8));
    EXPECT_EQ(c.transparency, -180);
    EXPECT_EQ(c.zoffset, 2);
  }
  Hook()->SetBool(TRI_LINES_TRANSPARENCY_POSITIVE, true);
  EXPECT_EQ(Only(Redraw(), DrawCall::Kind::DrawLine)[0].transparency, 180);

  op->GetPolygonH()->Select(0);
  op->GetPolygonH()->Select(3);
  std::vector<Line> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(SameLine(lines[0], {1, 0, 0}, {2, 1, 0}));
  EXPECT_TRUE(SameLine(lines[1], {5, 0, 0}, {7, 1, 0}));
  EXPECT_TRUE(SameLine(lines[2], {5, 0, 0}, {6, 2, 0}));

  // The whole object moved: lines are drawn in world space.
  op->GetPolygonH()->DeselectAll();
  op->SetRelPos(Vector(0, 0, 10));
  EXPECT_TRUE(SameLine(Lines()[0], {0, 0, 10}, {1, 1, 10}));
}

TEST_F(TriLines, LinesFollowSelectionEditingModeLayersAndDisplayTags) {
  BaseObject* parent = BaseObject::Alloc(Onull);
  doc_->InsertObjectLast(parent);
  PolygonObject* child = AddQuad(doc_.get(), "Child", parent);
  PolygonObject* other = AddQuad(doc_.get(), "Other");
  static_cast<void>(other);
  Hook()->SetBool(TRI_LINES_DRAW, true);
  EXPECT_TRUE(Lines().empty());  // nothing selected
  doc_->SetActiveObject(parent);
  EXPECT_EQ(Lines().size(), 1u);  // the child of the selected null

  struct ModeRow {
    Int32 mode;
    size_t lines;
  };
  for (const ModeRow& r : {ModeRow{Mobject, 0}, ModeRow{Mmodel, 0}, ModeRow{Mpoints, 1},
                           ModeRow{Medges, 1}, ModeRow{Mpolygons, 1}}) {
    doc_->SetMode(r.mode);
    EXPECT_EQ(Lines().size(), r.lines) << r.mode;
  }

  LayerObject* layer = LayerObject::Alloc();
  doc_->InsertLayer(layer);
  child->SetLayerObject(layer);
  EXPECT_EQ(Lines().size(), 1u);
  LayerData hidden;
  hidden.view = false;
  layer->SetLayerData(hidden);
  EXPECT_TRUE(Lines().empty());
  child->SetLayerObject(nullptr);

  struct DisplayRow {
    Int32 v, s;
    bool shown;
  };
  BaseContainer* display = child->MakeTag(Tdisplay)->GetDataInstance();
  for (const DisplayRow& r :
       {DisplayRow{0, 0, true}, DisplayRow{7, 1, true}, DisplayRow{8, 0, false},
        DisplayRow{-1, 1, false}, DisplayRow{99, 3, true}, DisplayRow{0, 2, false},
        DisplayRow{0, 4, false}, DisplayRow{0, -1, false}}) {
    display->SetInt32(DISPLAYTAG_SDISPLAYMODE, r.v);
    display->SetInt32(DISPLAYTAG_WDISPLAYMODE, r.s);
    EXPECT_EQ(Lines().size(), r.shown ? 1u : 0u) << r.v << " " << r.s;
  }
}

TEST_F(TriLines, PolygonsNamingMissingPointsAreSkipped) {
  PolygonObject* op = SelectedQuad();
  op->ResizeObject(4, 2);
  op->GetPolygonW()[1] = CPolygon(0, 2, 7, 9);
  auto* sel = static_cast<SelectionTag*>(op->MakeTag(Tedgeselection));
  sel->GetBaseSelect()->SelectAll(0, 7);
  AddPluginTag(op, ID_EDGE_UNDERSCORE_TAG);
  // Four underscores and one diagonal of the sound polygon; nothing of the broken one.
  EXPECT_EQ(Lines().size(), 5u);
}

TEST_F(TriLines, OtherPassesAndMissingArgumentsDrawNothing) {
  SelectedQuad();
  BaseSceneHook* node = FindTriLinesHook(doc_.get());
  auto* hook = node->GetNodeData<TriLinesDraw>();
  BaseDrawHelp bh(View(), doc_.get());
  View()->ClearCalls();
  EXPECT_TRUE(hook->Draw(node, doc_.get(), View(), &bh, nullptr, SCENEHOOKDRAW_HIGHLIGHT_PASS));
  EXPECT_TRUE(View()->GetCalls().empty());
  EXPECT_FALSE(hook->Draw(node, doc_.get(), View(), nullptr, nullptr, SCENEHOOKDRAW_DRAW_PASS));
  EXPECT_FALSE(hook->Draw(node, nullptr, View(), &bh, nullptr, SCENEHOOKDRAW_DRAW_PASS));
  EXPECT_TRUE(View()->GetCalls().empty());
}

// ----- the switches and the dialog -----

TEST_F(TriLines, SwitchesAndTheDialogFollowEachOther) {
  SelectedQuad();
  Hook()->SetBool(TRI_LINES_DRAW, false);
  CommandData* lines = host::FindPlugin(ID_TRI_LINES_SWITCH)->command;
  CommandData* edges = host::FindPlugin(ID_PMX_EDGE_DRAW_SWITCH)->command;
  auto* options =
      static_cast<TriLinesOptionDlgCmd*>(host::FindPlugin(ID_TRI_LINES_OPTIONS)->command);
  EXPECT_EQ(lines->GetState(doc_.get()), CMD_ENABLED);
  EXPECT_EQ(options->GetState(doc_.get()), CMD_ENABLED);

  ASSERT_TRUE(options->Execute(doc_.get()));
  TriLinesOptionDlg* dlg = options->GetDialog();
  EXPECT_EQ(host::FindOpenDialog(ID_TRI_LINES_OPTIONS), dlg);
  EXPECT_EQ(dlg->GetDialogType(), DLG_TYPE_ASYNC);
  const DialogGadgetState* transparency = dlg->FindGadget(TRI_LINES_TRANSPARENCY);
  ASSERT_NE(transparency, nullptr);
  EXPECT_EQ(transparency->value.GetInt32(), 180);
  EXPECT_EQ(transparency->min, 0);
  EXPECT_EQ(transparency->max, 255);
  EXPECT_EQ(dlg->FindGadget(TRI_LINES_PMX_EDGE_WIDTH)->max, 1e18);
  EXPECT_EQ(dlg->FindGadget(TRI_LINES_COLOR)->value.GetVector(), Vector(0.4, 0.6, 0.8));
  Bool checked = true;
  dlg->GetBool(TRI_LINES_DRAW, checked);
  EXPECT_FALSE(checked);

  // A switch flips the hook, the dialog's check box follows at once, the views redraw.
  ASSERT_TRUE(lines->Execute(doc_.get()));
  EXPECT_EQ(lines->GetState(doc_.get()), 0x7fffffff);
  dlg->GetBool(TRI_LINES_DRAW, checked);
  EXPECT_TRUE(checked);
  EXPECT_EQ(Lines().size(), 1u);
  ASSERT_TRUE(lines->Execute(doc_.get()));
  EXPECT_FALSE(Hook()->GetBool(TRI_LINES_DRAW));
  EXPECT_EQ(host::GetRecords().events, (std::vector<Int32>{EVENT_FORCEREDRAW, EVENT_FORCEREDRAW}));
  EXPECT_EQ(host::GetRecords().specialEvents.size(), 2u);
  ASSERT_TRUE(edges->Execute(doc_.get()));
  dlg->GetBool(TRI_LINES_PMX_EDGE_DRAW, checked);
  EXPECT_TRUE(checked);

  // The dialog writes every gadget into the parameter of the same id.
  EXPECT_TRUE(dlg->ChangeGadget(TRI_LINES_TRANSPARENCY, GeData(Int32(300))));
  EXPECT_EQ(Hook()->GetInt32(TRI_LINES_TRANSPARENCY), 255);
  EXPECT_TRUE(dlg->ChangeGadget(TRI_LINES_PMX_EDGE_WIDTH, GeData(2.5)));
  EXPECT_EQ(Hook()->GetFloat(TRI_LINES_PMX_EDGE_WIDTH), 2.5);
  EXPECT_TRUE(dlg->ChangeGadget(TRI_LINES_COLOR, GeData(Vector(1, 0, 0))));
  EXPECT_TRUE(dlg->ChangeGadget(TRI_LINES_DRAW, GeData(true)));
  std::vector<DrawCall> drawn = Only(Redraw(), DrawCall::Kind::DrawLine);
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_EQ(drawn[0].pen, Vector(1, 0, 0));
  EXPECT_EQ(drawn[0].transparency, -255);
  EXPECT_FALSE(dlg->ChangeGadget(TRI_LINES_DRAW, GeData(Vector())));

  // Another document becomes the active one: the next recalculation refills the dialog.
  BaseDocument other;
  SetActiveDocument(&other);
  host::RedrawDocument(&other);
  EXPECT_EQ(dlg->FindGadget(TRI_LINES_TRANSPARENCY)->value.GetInt32(), 180);
  SetActiveDocument(doc_.get());
  dlg->Close();
  EXPECT_EQ(host::FindOpenDialog(ID_TRI_LINES_OPTIONS), nullptr);
  EXPECT_TRUE(options->RestoreLayout(nullptr));
  EXPECT_EQ(host::FindOpenDialog(ID_TRI_LINES_OPTIONS), dlg);
  dlg->Close();
}

}  // namespace
