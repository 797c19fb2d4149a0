// A small rigged, textured character built with the host API, exported through the saver as
// the host does, and read back field by field with mmd-parser. The expected values are
// derived by hand from the scene below.
#include <gtest/gtest.h>

#include "c4d.h"
#include "c4d_host.h"
#include "pmx/pmxsaver.h"
#include "pmxbone/pmxbonetag.h"
#include "pmxedge/pmxedgetag.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"
#include "support/pmx_reader.h"
#include "support/pmx_scene.h"

namespace {

using namespace pmxtest;
using Json = nlohmann::json;

void ExpectNear(const Json& actual, std::vector<double> expected, double tol = 1e-6) {
  ASSERT_EQ(actual.size(), expected.size()) << actual.dump();
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_NEAR(actual[i].get<double>(), expected[i], tol) << actual.dump() << " at " << i;
}

class RichScene : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
    BaseDocument* d = doc.get();

    // Skeleton: Hip - Spine - Neck - Head, and Hip - Leg - Foot.
    hip = AddJoint(d, "Hip", Vector(0, 90, 0));
    spine = AddJoint(d, "Spine", Vector(0, 20, 0), hip);
    spine->SetRelRot(Vector(Rad(-90), 0, 0));  // heading: turns its axes, not its children
    neck = AddJoint(d, "Neck", Vector(0, 20, 0), spine);
    head = AddJoint(d, "Head", Vector(0, 10, 0), neck);
    leg = AddJoint(d, "Leg", Vector(5, -40, 0), hip);
    foot = AddJoint(d, "Foot", Vector(0, -40, 0), leg);
    BaseContainer* hipTag = AddPluginTag(hip, ID_PMX_BONE_OPTION_TAG)->GetDataInstance();
    hipTag->SetString(PMX_BONE_NAME, String("下半身"));
    hipTag->SetString(PMX_BONE_NAME_ENGLISH, String("lower body"));
    hipTag->SetBool(PMX_BONE_FIXED_AXIS, true);
    BaseContainer* spineTag = AddPluginTag(spine, ID_PMX_BONE_OPTION_TAG)->GetDataInstance();
    spineTag->SetBool(PMX_BONE_LOCAL_AXIS, true);
    spineTag->SetBool(PMX_BONE_MOVABLE, true);
    spineTag->SetInt32(PMX_BONE_LAYER, 1);

    // Materials.
    BaseMaterial* skin = AddMaterial(d, "Skin", Vector(1, 0.5, 0.25), "skin.png");
    skin->SetChannelState(CHANNEL_SPECULAR, true);
    BaseContainer* specular = skin->GetChannel(CHANNEL_SPECULAR)->GetDataInstance();
    specular->SetVector(BASECHANNEL_COLOR_EX, Vector(0.5, 0.5, 0.5));
    specular->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 10);
    BaseMaterial* cloth = AddMaterial(d, "Cloth", Vector(0.25, 0.5, 1), "cloth.png");
    cloth->SetChannelState(CHANNEL_TRANSPARENCY, true);
    cloth->GetChannel(CHANNEL_TRANSPARENCY)
        ->GetDataInstance()
        ->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 0.5);
    BaseMaterial* hair = AddMaterial(d, "Hair", Vector(0.125, 0.125, 0.125), "hair.png");

    // Body: three quads along x; points (i, 0, 0) = 2i and (i, 1, 0) = 2i + 1.
    PolygonObject* body = AddStrip(d, "Body", 3);
    AddPhong(body);
    std::vector<std::array<Vector, 4>> uv;
    for (int i = 0; i < 3; ++i) {
      const double u = i == 2 ? i + 10 : i;  // a seam between the second and third quad
      uv.push_back({Vector(u, 0, 0), Vector(u + 1, 0, 0), Vector(u + 1, 1, 0), Vector(u, 1, 0)});
    }
    AddUvw(body, uv);
    AddPolygonSelection(body, "shirt", {1});
    AddTexture(body, skin);
    AddTexture(body, cloth, "shirt");
    AddWeights(body, {hip, spine, neck, head, leg, foot},
               {{0.3, 1, 0.5, 0, 0.1, 0, 0, 0},
                {0.25, 0, 0, 0.6, 0.1, 0, 0, 0},
                {0.2, 0, 0, 0.3, 0.2, 0, 0, 0},
                {0.15, 0, 0, 0.1, 0.2, 0, 0, 0},
                {0.1, 0, 0.5, 0, 0.2, 1, 0.3, 0},
                {0, 0, 0, 0, 0.2, 0, 0.7, 0}});
    AddVertexMap(body, "edge", {1, 1, 0.5f, 0.5f, 0.25f, 0.25f, 0, 0});
    BaseContainer* edge = AddPluginTag(body, ID_PMX_EDGE_TAG)->GetDataInstance();
    edge->SetFloat(PMX_EDGE_SIZE, 0.5);
    edge->SetVector(PMX_EDGE_COLOR, Vector(1, 0, 0));
    edge->SetBool(PMX_EDGE_DOUBLE_SIDED, true);
    edge->SetString(PMX_EDGE_VERTEX_MAP, String("edge"));

    // The head: one quad without phong or UVs, bound to the head joint.
    PolygonObject* face = AddQuad(d, "Face");
    face->SetRelPos(Vector(0, 140, 0));
    AddTexture(face, hair);
    AddWeights(face, {head}, {{1, 1, 1, 1}});

    // Not rendered: not exported.
    AddQuad(d, "Hidden")->SetRenderMode(MODE_OFF);
  }

  DocPtr doc;
  BaseObject *hip, *spine, *neck, *head, *leg, *foot;
};

TEST_F(RichScene, ExportsEveryFieldAsDerived) {
  SaverPtr saver;
  saver.data()->SetBool(PMX_EXPORT_LIMIT_DEFORM, true);
  saver.data()->SetBool(PMX_EXPORT_USE_TEXTURE_FOLDER, true);
  saver.data()->SetString(PMX_EXPORT_TEXTURE_FOLDER, String("tex"));
  const std::string path = TempPath("character.pmx");
  ASSERT_EQ(ExportDocument(doc.get(), path, saver.node.get()), FILEERROR_NONE);

  std::vector<std::string> console;
  for (const String& s : host::ConsoleLines()) console.push_back(s.GetUtf8());
  const std::string many =
      "オブジェクト[Body]ウェイト数がPMXの仕様以上設定されている頂点があります。";
  EXPECT_EQ(console,
            (std::vector<std::string>{"PMX出力を開始...\n",
                                      many + "id=4, count=6\n",  // point 4 under the cloth
                                      many + "id=0, count=5\n",
                                      many + "id=4, count=6\n",  // point 4 again under the skin
                                      "オブジェクト[Body]にウェイト値が無い頂点が1個あります。\n",
                                      "PMX出力を完了しました。" + path + "\n"}));

  const Json j = ParsePmxWithMmdParser(path);
  const Json& meta = j["metadata"];
  EXPECT_EQ(meta["vertexCount"], 16);
  EXPECT_EQ(meta["faceCount"], 8);
  EXPECT_EQ(meta["textureCount"], 3);
  EXPECT_EQ(meta["materialCount"], 3);
  EXPECT_EQ(meta["boneCount"], 6);
  EXPECT_EQ(meta["morphCount"], 0);
  EXPECT_EQ(meta["frameCount"], 3);
  EXPECT_EQ(meta["modelName"], "モデル名");
  EXPECT_EQ(meta["englishComment"], "comment");

  // Textures in the order materials first name them, behind the folder.
  EXPECT_EQ(j["textures"], (Json{"tex\\skin.png", "tex\\cloth.png", "tex\\hair.png"}));

  // Materials: skin (polygons 0 and 2), cloth (polygon 1), hair; the unused default is gone.
  const Json& mats = j["materials"];
  EXPECT_EQ(mats[0]["name"], "Skin");
  EXPECT_EQ(mats[0]["englishName"], "");
  ExpectNear(mats[0]["diffuse"], {1, 0.5, 0.25, 1});
  ExpectNear(mats[0]["specular"], {0.5, 0.5, 0.5});
  EXPECT_EQ(mats[0]["shininess"], 10);
  ExpectNear(mats[0]["ambient"], {0.5, 0.5, 0.5});
  EXPECT_EQ(mats[0]["flag"], 0x1F);
  ExpectNear(mats[0]["edgeColor"], {1, 0, 0, 1});
  EXPECT_EQ(mats[0]["edgeSize"], 0.5);
  EXPECT_EQ(mats[0]["textureIndex"], 0);
  EXPECT_EQ(mats[0]["envTextureIndex"], -1);
  EXPECT_EQ(mats[0]["envFlag"], 0);
  EXPECT_EQ(mats[0]["toonFlag"], 1);
  EXPECT_EQ(mats[0]["toonIndex"], 0);
  EXPECT_EQ(mats[0]["comment"], "");
  EXPECT_EQ(mats[0]["faceCount"], 4);
  EXPECT_EQ(mats[1]["name"], "Cloth");
  ExpectNear(mats[1]["diffuse"], {0.25, 0.5, 1, 0.5});
  ExpectNear(mats[1]["specular"], {0, 0, 0});
  EXPECT_EQ(mats[1]["textureIndex"], 1);
  EXPECT_EQ(mats[1]["flag"], 0x1F);
  EXPECT_EQ(mats[1]["faceCount"], 2);
  EXPECT_EQ(mats[2]["name"], "Hair");
  EXPECT_EQ(mats[2]["flag"], 0x1E);  // no edge tag on the face
  ExpectNear(mats[2]["edgeColor"], {0, 0, 0, 1});
  EXPECT_EQ(mats[2]["edgeSize"], 1);
  EXPECT_EQ(mats[2]["textureIndex"], 2);
  EXPECT_EQ(mats[2]["faceCount"], 2);

  // Vertices: the cloth pass runs first (polygon 1: points 2, 4, 5, 3), then the skin pass
  // (polygon 0: points 0, 2, 3, 1; polygon 2: points 4, 6, 7, 5), then the face.
  const std::vector<int> pointOf = {2, 4, 5, 3, 0, 2, 3, 1, 4, 6, 7, 5};
  const Json& verts = j["vertices"];
  for (size_t v = 0; v < pointOf.size(); ++v) {
    const int p = pointOf[v];
    SCOPED_TRACE(v);
    ExpectNear(verts[v]["position"], {(p / 2) * 0.125, (p % 2) * 0.125, 0});
    ExpectNear(verts[v]["normal"], {0, 0, 1});
    const double edgeScale[] = {1, 1, 0.5, 0.5, 0.25, 0.25, 0, 0};
    EXPECT_EQ(verts[v]["edgeRatio"], edgeScale[p]);
  }
  ExpectNear(verts[0]["uv"], {1, 0});   // point 2 as corner a of polygon 1
  ExpectNear(verts[8]["uv"], {12, 0});  // point 4 across the seam
  ExpectNear(verts[1]["uv"], {2, 0});
  // Weights, limited to the kept influences and normalised.
  EXPECT_EQ(verts[4]["type"], 2);  // point 0: five influences, the four strongest kept
  EXPECT_EQ(verts[4]["skinIndices"], (Json{0, 1, 2, 3}));
  ExpectNear(verts[4]["skinWeights"], {0.3 / 0.9, 0.25 / 0.9, 0.2 / 0.9, 0.15 / 0.9});
  EXPECT_EQ(verts[7]["type"], 0);  // point 1: the hip alone
  EXPECT_EQ(verts[7]["skinIndices"], (Json{0}));
  EXPECT_EQ(verts[0]["type"], 1);  // point 2: hip and leg, equal
  EXPECT_EQ(verts[0]["skinIndices"], (Json{0, 4}));
  ExpectNear(verts[0]["skinWeights"], {0.5, 0.5});
  EXPECT_EQ(verts[3]["type"], 2);  // point 3: three influences
  EXPECT_EQ(verts[3]["skinIndices"], (Json{1, 2, 3, 0}));
  ExpectNear(verts[3]["skinWeights"], {0.6, 0.3, 0.1, 0});
  EXPECT_EQ(verts[1]["skinIndices"], (Json{2, 3, 4, 5}));  // point 4: ties keep joint order
  ExpectNear(verts[1]["skinWeights"], {0.25, 0.25, 0.25, 0.25});
  EXPECT_EQ(verts[9]["type"], 1);  // point 6: foot then leg
  EXPECT_EQ(verts[9]["skinIndices"], (Json{5, 4}));
  ExpectNear(verts[9]["skinWeights"], {0.7, 0.3});
  EXPECT_EQ(verts[10]["type"], 0);  // point 7: no weight, bone 0
  EXPECT_EQ(verts[10]["skinIndices"], (Json{0}));
  for (int v = 12; v < 16; ++v) {
    EXPECT_EQ(verts[v]["type"], 0);
    EXPECT_EQ(verts[v]["skinIndices"], (Json{3}));
    EXPECT_EQ(verts[v]["edgeRatio"], 1);
    ExpectNear(verts[v]["uv"], {0, 0});
  }
  ExpectNear(verts[14]["position"], {0.125, 17.625, 0});

  // Faces material by material, in polygon order within each.
  std::vector<std::vector<int>> faces;
  for (const Json& f : j["faces"]) faces.push_back(f["indices"].get<std::vector<int>>());
  EXPECT_EQ(faces, (std::vector<std::vector<int>>{{4, 5, 6},
                                                  {4, 6, 7},
                                                  {8, 9, 10},
                                                  {8, 10, 11},
                                                  {0, 1, 2},
                                                  {0, 2, 3},
                                                  {12, 13, 14},
                                                  {12, 14, 15}}));

  // Bones in depth-first order, positions in PMX units (8 cm).
  const Json& bones = j["bones"];
  const std::vector<std::string> names = {"下半身", "Spine", "Neck", "Head", "Leg", "Foot"};
  const std::vector<int> parents = {-1, 0, 1, 2, 0, 4};
  const std::vector<int> tails = {1, 2, 3, -1, 5, -1};
  const std::vector<std::vector<double>> positions = {{0, 11.25, 0},    {0, 13.75, 0},
                                                      {0, 16.25, 0},    {0, 17.5, 0},
                                                      {0.625, 6.25, 0}, {0.625, 1.25, 0}};
  for (size_t b = 0; b < names.size(); ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(bones[b]["name"], names[b]);
    EXPECT_EQ(bones[b]["parentIndex"], parents[b]);
    EXPECT_EQ(bones[b]["connectIndex"], tails[b]);
    ExpectNear(bones[b]["position"], positions[b]);
  }
  EXPECT_EQ(bones[0]["englishName"], "lower body");
  EXPECT_EQ(bones[0]["flag"], 0x0001 | 0x0002 | 0x0008 | 0x0010 | 0x0400);
  ExpectNear(bones[0]["fixAxis"], {0, 1, 0});
  EXPECT_EQ(bones[1]["flag"], 0x0001 | 0x0002 | 0x0004 | 0x0008 | 0x0010 | 0x0800);
  EXPECT_EQ(bones[1]["transformationClass"], 1);
  ExpectNear(bones[1]["localXVector"], {0, 0, -1});
  ExpectNear(bones[1]["localZVector"], {1, 0, 0});
  EXPECT_EQ(bones[3]["flag"], 0x0001 | 0x0002 | 0x0010);  // the end bones are hidden
  EXPECT_EQ(bones[5]["flag"], 0x0001 | 0x0002 | 0x0010);
  EXPECT_FALSE(bones[2].contains("fixAxis"));

  // Display frames.
  const Json& frames = j["frames"];
  EXPECT_EQ(frames[0]["name"], "Root");
  EXPECT_EQ(frames[0]["type"], 1);
  EXPECT_EQ(frames[0]["elements"], (Json{{{"target", 0}, {"index", 0}}}));
  EXPECT_EQ(frames[1]["name"], "表情");
  EXPECT_EQ(frames[1]["englishName"], "Exp");
  EXPECT_EQ(frames[1]["elementCount"], 0);
  EXPECT_EQ(frames[2]["name"], "ボーン");
  EXPECT_EQ(frames[2]["type"], 0);
  std::vector<int> listed;
  for (const Json& e : frames[2]["elements"]) listed.push_back(e["index"]);
  EXPECT_EQ(listed, (std::vector<int>{0, 1, 2, 4}));

  // The exact narrowing of one normalised weight.
  const pmxtest::File f = pmxtest::ReadPmx(path);
  const double inv = 1.0 / (((0.3 + 0.25) + 0.2) + 0.15);
  EXPECT_EQ(f.vertices[4].weight[0], static_cast<float>(0.3 * inv));
}

TEST_F(RichScene, WithoutLimitingEveryWeightedVertexIsBdef4AsStored) {
  const std::string path = TempPath("character_bdef4.pmx");
  ASSERT_EQ(ExportDocument(doc.get(), path), FILEERROR_NONE);
  const Json j = ParsePmxWithMmdParser(path);
  const Json& verts = j["vertices"];
  EXPECT_EQ(verts[4]["type"], 2);
  ExpectNear(verts[4]["skinWeights"], {0.3, 0.25, 0.2, 0.15});
  EXPECT_EQ(verts[7]["type"], 2);
  EXPECT_EQ(verts[7]["skinIndices"], (Json{0, 0, 0, 0}));
  ExpectNear(verts[7]["skinWeights"], {1, 0, 0, 0});
  EXPECT_EQ(verts[10]["type"], 0);  // without any weight it is still BDEF1
  // Texture names resolved against the document's folder, which holds none of them.
  EXPECT_EQ(j["textures"], (Json{"", "", ""}));
}

}  // namespace
