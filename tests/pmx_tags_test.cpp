// The bone option tag and the edge tag: registration, descriptions, defaults, the edge tag's
// vertex-map button with its undo step, and the edge shell.
#include <gtest/gtest.h>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_resource.h"
#include "pmx/pmxsaver.h"
#include "pmxbone/pmxbonetag.h"
#include "pmxedge/pmxedgetag.h"
#include "support/plugin_env.h"
#include "support/pmx_scene.h"

namespace {

using namespace pmxtest;

class PmxTags : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
  }
};

size_t RegistryPosition(Int32 id) {
  const auto& p = host::Plugins();
  for (size_t i = 0; i < p.size(); ++i)
    if (p[i].id == id) return i;
  return p.size();
}

TEST_F(PmxTags, RegisteredAsTheTableSays) {
  const host::PluginInfo* saver = host::FindPlugin(ID_PMX_SAVER);
  const host::PluginInfo* bone = host::FindPlugin(ID_PMX_BONE_OPTION_TAG);
  const host::PluginInfo* edge = host::FindPlugin(ID_PMX_EDGE_TAG);
  ASSERT_TRUE(saver && bone && edge);
  EXPECT_EQ(saver->type, PLUGINTYPE::SCENESAVER);
  EXPECT_EQ(saver->name, GeLoadString(10000));
  EXPECT_EQ(saver->description, String("FTavoPmxExport"));
  EXPECT_EQ(saver->suffix, String("pmx"));
  EXPECT_EQ(saver->info, 0);
  EXPECT_EQ(bone->type, PLUGINTYPE::TAG);
  EXPECT_EQ(bone->name, String("Pmx Bone Option"));
  EXPECT_EQ(bone->info, 1);
  EXPECT_EQ(bone->description, String("TPmxBoneOption"));
  EXPECT_EQ(bone->icon.GetFile().GetString(), String("bone.png"));
  EXPECT_TRUE(GeFExist(bone->icon));
  EXPECT_EQ(edge->type, PLUGINTYPE::TAG);
  EXPECT_EQ(edge->name, String("Pmx Edge"));
  EXPECT_EQ(edge->info, 1);
  EXPECT_EQ(edge->description, String("TPmxEdge"));
  EXPECT_TRUE(GeFExist(edge->icon));
  EXPECT_EQ(RegistryPosition(ID_PMX_SAVER), 0u);
  EXPECT_LT(RegistryPosition(ID_PMX_BONE_OPTION_TAG), RegistryPosition(ID_PMX_EDGE_TAG));
}

/// The parameter types a description resource declares, by id.
std::map<Int32, Int32> DescribedTypes(const char* name) {
  Description d;
  std::string error;
  EXPECT_TRUE(host::LoadDescriptionResource(Filename(String(PluginDir() + "/res")), String(name),
                                            &d, &error))
      << error;
  std::map<Int32, Int32> types;
  for (const DescriptionEntry& e : d.Entries()) {
    if (e.type != DTYPE_GROUP) {
      types[e.id.id] = e.type;
      EXPECT_TRUE(e.settings.GetString(DESC_NAME).Content()) << name << " " << e.id.id;
    }
  }
  return types;
}

TEST_F(PmxTags, DescriptionsDeclareEveryParameterWithItsType) {
  EXPECT_EQ(DescribedTypes("TPmxBoneOption"), (std::map<Int32, Int32>{{1000, DTYPE_STRING},
                                                                      {1001, DTYPE_STRING},
                                                                      {1010, DTYPE_LONG},
                                                                      {1020, DTYPE_LONG},
                                                                      {1100, DTYPE_BOOL},
                                                                      {1101, DTYPE_BOOL},
                                                                      {1102, DTYPE_BOOL},
                                                                      {1103, DTYPE_BOOL},
                                                                      {1200, DTYPE_BOOL},
                                                                      {1201, DTYPE_BOOL},
                                                                      {1300, DTYPE_BOOL},
                                                                      {1301, DTYPE_BOOL},
                                                                      {1302, DTYPE_LONG}}));
  EXPECT_EQ(DescribedTypes("TPmxEdge"), (std::map<Int32, Int32>{{1000, DTYPE_BOOL},
                                                                {1010, DTYPE_REAL},
                                                                {1011, DTYPE_COLOR},
                                                                {1013, DTYPE_STRING},
                                                                {1100, DTYPE_BOOL},
                                                                {1101, DTYPE_BOOL},
                                                                {1102, DTYPE_BOOL},
                                                                {1103, DTYPE_BOOL},
                                                                {3000, DTYPE_BUTTON}}));
  EXPECT_EQ(DescribedTypes("FTavoPmxExport"),
            (std::map<Int32, Int32>{{2000, CUSTOMDATATYPE_UNITSCALE},
                                    {2001, DTYPE_BOOL},
                                    {2002, DTYPE_STRING},
                                    {2003, DTYPE_BOOL},
                                    {2005, DTYPE_BOOL}}));

  // The tags answer their descriptions through the host's base implementation.
  BaseTag* tag = BaseTag::Alloc(ID_PMX_EDGE_TAG);
  Description d;
  DESCFLAGS_DESC flags = DESCFLAGS_DESC_0;
  EXPECT_TRUE(tag->GetNodeData()->GetDescription(tag, &d, flags));
  EXPECT_NE(d.Find(PMX_EDGE_CREATE_VERTEX_MAP), nullptr);
  BaseTag::Free(tag);
}

TEST_F(PmxTags, ANewBoneOptionTagHoldsItsDefaults) {
  BaseTag* tag = BaseTag::Alloc(ID_PMX_BONE_OPTION_TAG);
  ASSERT_NE(tag, nullptr);
  const BaseContainer* bc = tag->GetDataInstance();
  EXPECT_EQ(bc->Entries().size(), 5u);
  EXPECT_TRUE(bc->IsSet(PMX_BONE_RESERVED));
  const auto* t = tag->GetNodeData<PmxBoneOptionTag>();
  EXPECT_EQ(t->GetInt32(PMX_BONE_RESERVED), 0);
  EXPECT_TRUE(t->GetBool(PMX_BONE_ROTATABLE));
  EXPECT_FALSE(t->GetBool(PMX_BONE_MOVABLE));
  EXPECT_TRUE(t->GetBool(PMX_BONE_VISIBLE));
  EXPECT_TRUE(t->GetBool(PMX_BONE_OPERABLE));
  EXPECT_EQ(t->GetString(PMX_BONE_NAME), String());
  EXPECT_EQ(t->GetString(PMX_BONE_NAME_ENGLISH), String());
  EXPECT_EQ(t->GetInt32(PMX_BONE_LAYER), 0);
  EXPECT_EQ(t->GetInt32(PMX_BONE_EXTERNAL_PARENT_KEY), 0);
  for (Int32 id : {1200, 1201, 1300, 1301}) EXPECT_FALSE(t->GetBool(id));
  EXPECT_EQ(t->GetFloat(PMX_BONE_LAYER), 0.0);
  BaseTag::Free(tag);
}

TEST_F(PmxTags, ANewEdgeTagHoldsItsDefaultsAndAnEmptyShell) {
  BaseTag* tag = BaseTag::Alloc(ID_PMX_EDGE_TAG);
  ASSERT_NE(tag, nullptr);
  auto* t = tag->GetNodeData<PmxEdgeTag>();
  EXPECT_TRUE(t->GetBool(PMX_EDGE_DRAW));
  EXPECT_EQ(t->GetFloat(PMX_EDGE_SIZE), 1.0);
  EXPECT_EQ(t->GetVector(PMX_EDGE_COLOR), Vector(0, 0, 0));
  EXPECT_FALSE(t->GetBool(PMX_EDGE_DOUBLE_SIDED));
  EXPECT_TRUE(t->GetBool(PMX_EDGE_GROUND_SHADOW));
  EXPECT_TRUE(t->GetBool(PMX_EDGE_SELF_SHADOW_MAP));
  EXPECT_TRUE(t->GetBool(PMX_EDGE_SELF_SHADOW));
  EXPECT_EQ(t->GetString(PMX_EDGE_VERTEX_MAP), String());
  EXPECT_FALSE(tag->GetDataInstance()->IsSet(PMX_EDGE_VERTEX_MAP));
  ASSERT_NE(t->GetShellObject(), nullptr);
  EXPECT_EQ(t->GetShellObject()->GetPointCount(), 0);
  EXPECT_EQ(t->GetShellObject()->GetPolygonCount(), 0);
  EXPECT_EQ(t->Execute(tag, nullptr, nullptr, nullptr, 0, EXECUTIONFLAGS_0), EXECUTIONRESULT_OK);

  // A copy of the tag has its own shell (the scratch result is never shared).
  BaseTag* copy = tag->GetClone(COPYFLAGS_0);
  EXPECT_NE(copy->GetNodeData<PmxEdgeTag>()->GetShellObject(), t->GetShellObject());
  EXPECT_EQ(copy->GetNodeData<PmxEdgeTag>()->GetFloat(PMX_EDGE_SIZE), 1.0);
  BaseTag::Free(copy);
  BaseTag::Free(tag);
}

bool PressButton(BaseTag* tag, Int32 id) {
  DescriptionCommand dc;
  dc.id = DescID(id);
  return tag->Message(MSG_DESCRIPTION_COMMAND, &dc);
}

TEST_F(PmxTags, TheVertexMapButtonIsOneUndoStep) {
  DocPtr doc;
  std::vector<Vector> points;
  for (int i = 0; i < 100; ++i) points.push_back(Vector(i, 0, 0));
  PolygonObject* op = AddMesh(doc.get(), "Body", points, {CPolygon(0, 1, 2)});
  BaseTag* edge = AddPluginTag(op, ID_PMX_EDGE_TAG);
  const Int32 stepsBefore = doc->GetUndoStepCount();

  EXPECT_TRUE(PressButton(edge, PMX_EDGE_CREATE_VERTEX_MAP));
  auto* map = static_cast<VariableTag*>(op->GetFirstTag());
  ASSERT_EQ(map->GetType(), Tvertexmap);
  EXPECT_EQ(map->GetName(), GeLoadString(IDS_PMX_EDGE_VERTEX_MAP));
  EXPECT_TRUE(map->GetName().Content());
  ASSERT_EQ(map->GetDataCount(), 100);
  for (Int32 i = 0; i < 100; ++i) EXPECT_EQ(map->Read<Float32>()[i], 1.0f);
  EXPECT_EQ(edge->GetDataInstance()->GetString(PMX_EDGE_VERTEX_MAP), map->GetName());
  ASSERT_EQ(doc->GetUndoStepCount(), stepsBefore + 1);
  EXPECT_EQ(doc->GetUndoStepTypes(stepsBefore),
            (std::vector<UNDOTYPE>{UNDOTYPE_NEW, UNDOTYPE_CHANGE}));
  // The export now finds the map through the tag.
  EXPECT_EQ(PmxEdgeTag::FindEdgeScaleMap(op, edge), map);

  EXPECT_TRUE(doc->DoUndo());
  EXPECT_EQ(op->GetTag(Tvertexmap), nullptr);
  BaseTag* restored = op->GetTag(ID_PMX_EDGE_TAG);
  ASSERT_NE(restored, nullptr);
  EXPECT_FALSE(restored->GetDataInstance()->IsSet(PMX_EDGE_VERTEX_MAP));

  // Other buttons and messages change nothing.
  EXPECT_TRUE(PressButton(restored, 2999));
  EXPECT_TRUE(restored->Message(MSG_UPDATE));
  EXPECT_EQ(op->GetTag(Tvertexmap), nullptr);
}

TEST_F(PmxTags, TheVertexMapButtonNeedsAPolygonObject) {
  DocPtr doc;
  BaseObject* null = AddNull(doc.get(), "Null");
  BaseTag* edge = AddPluginTag(null, ID_PMX_EDGE_TAG);
  EXPECT_TRUE(PressButton(edge, PMX_EDGE_CREATE_VERTEX_MAP));
  EXPECT_EQ(null->GetTag(Tvertexmap), nullptr);
  EXPECT_EQ(doc->GetUndoStepCount(), 0);
  EXPECT_FALSE(edge->GetDataInstance()->IsSet(PMX_EDGE_VERTEX_MAP));
  // A tag on no object at all.
  BaseTag* loose = BaseTag::Alloc(ID_PMX_EDGE_TAG);
  EXPECT_TRUE(PressButton(loose, PMX_EDGE_CREATE_VERTEX_MAP));
  BaseTag::Free(loose);
}

std::vector<Vector> ShellPoints(PolygonObject* shell) {
  return std::vector<Vector>(shell->GetPointR(), shell->GetPointR() + shell->GetPointCount());
}

TEST_F(PmxTags, EdgeShellOfAQuadAndATriangleFacesTheOtherWay) {
  DocPtr doc;
  PolygonObject* quad = AddQuad(doc.get(), "Quad");
  quad->SetRelPos(Vector(10, 0, 0));
  AddPhong(quad);
  std::unique_ptr<PolygonObject> holder(PolygonObject::Alloc(0, 0));
  PolygonObject* shell = holder.get();
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, quad, 2.0f));
  EXPECT_EQ(shell->GetPolygonCount(), 1);
  EXPECT_EQ(shell->GetPolygonR()[0], CPolygon(2, 1, 0, 3));
  EXPECT_EQ(ShellPoints(shell), (std::vector<Vector>{Vector(10, 0, 2), Vector(11, 0, 2),
                                                     Vector(11, 1, 2), Vector(10, 1, 2)}));

  PolygonObject* tri =
      AddMesh(doc.get(), "Tri", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {CPolygon(0, 1, 2)});
  AddPhong(tri);
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, tri, 1.0f));
  EXPECT_EQ(shell->GetPointCount(), 3);
  EXPECT_EQ(shell->GetPolygonR()[0], CPolygon(2, 1, 0, 0));
}

TEST_F(PmxTags, EdgeShellFollowsTheWeightMapAndStaysFlatWithoutNormals) {
  DocPtr doc;
  PolygonObject* op = AddStrip(doc.get(), "Strip", 2);  // points (i, 0, 0) and (i, 1, 0)
  AddPhong(op);
  AddVertexMap(op, "thickness", {0, 0.5f, 1, 1, 0.25f, 0.25f});
  BaseTag* edge = AddPluginTag(op, ID_PMX_EDGE_TAG);
  std::unique_ptr<PolygonObject> holder(PolygonObject::Alloc(0, 0));
  PolygonObject* shell = holder.get();

  // Without a named map every weight is 1.
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, op, 4.0f));
  EXPECT_EQ(shell->GetPointCount(), 8);
  for (const Vector& p : ShellPoints(shell)) EXPECT_EQ(p.z, 4.0);
  edge->GetDataInstance()->SetString(PMX_EDGE_VERTEX_MAP, String("Thickness"));  // not exact
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, op, 4.0f));
  for (const Vector& p : ShellPoints(shell)) EXPECT_EQ(p.z, 4.0);

  edge->GetDataInstance()->SetString(PMX_EDGE_VERTEX_MAP, String("thickness"));
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, op, 4.0f));
  // Shell points follow the source corners: polygon 0 is (0, 2, 3, 1).
  std::vector<Float> z;
  for (const Vector& p : ShellPoints(shell)) z.push_back(p.z);
  EXPECT_EQ(z, (std::vector<Float>{0, 4, 4, 2, 4, 1, 1, 4}));

  // Without phong normals every shell point lies on its source point.
  op->KillTag(Tphong);
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, op, 4.0f));
  EXPECT_EQ(ShellPoints(shell)[1], Vector(1, 0, 0));
  for (const Vector& p : ShellPoints(shell)) EXPECT_EQ(p.z, 0.0);
}

TEST_F(PmxTags, EdgeShellRefusesWhatItCannotBuildAndLeavesTheShell) {
  DocPtr doc;
  std::unique_ptr<PolygonObject> holder(PolygonObject::Alloc(0, 0));
  PolygonObject* shell = holder.get();
  PolygonObject* quad = AddQuad(doc.get(), "Quad");
  ASSERT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, quad, 1.0f));
  EXPECT_FALSE(PmxEdgeTag::BuildEdgeShell(nullptr, quad, 1.0f));
  EXPECT_FALSE(PmxEdgeTag::BuildEdgeShell(shell, nullptr, 1.0f));
  EXPECT_FALSE(PmxEdgeTag::BuildEdgeShell(shell, AddNull(doc.get(), "Null"), 1.0f));
  EXPECT_FALSE(
      PmxEdgeTag::BuildEdgeShell(shell, AddMesh(doc.get(), "Empty", {{0, 0, 0}}, {}), 1.0f));
  EXPECT_EQ(shell->GetPointCount(), 4);
  EXPECT_EQ(shell->GetPolygonCount(), 1);
  // A polygon naming a point the source lacks does not read past its points.
  PolygonObject* broken = AddMesh(doc.get(), "Broken", {{0, 0, 0}}, {CPolygon(0, 5, 9, 9)});
  EXPECT_TRUE(PmxEdgeTag::BuildEdgeShell(shell, broken, 1.0f));
  EXPECT_EQ(shell->GetPointCount(), 3);
}

}  // namespace
