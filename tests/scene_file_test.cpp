// Scene files: what a file puts into the host document, what the app writes back, and the
// messages for files that are broken or make no sense.
#include "scene_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "c4d.h"
#include "c4d_host.h"
#include "mapped_file.h"
#include "support/plugin_env.h"

namespace {

namespace fs = std::filesystem;
using pmxapp::LoadSceneFile;
using pmxapp::LoadSceneText;
using pmxapp::SaveSceneFile;
using pmxapp::SceneToText;
using pmxapp::WriteSceneText;

// Every feature of the format once (comments are allowed in scene files).
const char* kEveryFeature = R"json({
  "scene": 1,
  // the document's settings
  "document": {"unit": [2.5, "mm"], "mode": "polygons", "path": "assets", "params": {"5000": 7}},
  "materials": [
    {"name": "Skin", "id": "skin",
     "color": {"on": true, "color": [1, 0.5, 0.25], "brightness": 0.8, "texture": "tex/skin.png"},
     "luminance": {"on": false},
     "transparency": {"brightness": 0.25},
     "specular": {"color": [0.1, 0.2, 0.3], "brightness": 5, "params": {"1500": 3}}},
    {"name": "Cloth", "params": {"77": "x"}}
  ],
  "objects": [
    {"type": "joint", "name": "Hip", "pos": [0, 90, 0], "rot": [30, -45, 90], "order": "xyzlocal",
     "selected": true,
     "children": [
       {"type": "joint", "name": "Spine", "pos": [0, 20, 0],
        "tags": [{"type": "pmxboneoption", "params": {"1000": "上半身", "1101": true, "1010": 2}}]}
     ]},
    {"type": "null", "name": "Group", "render": "off", "editor": "on", "bits": ["control", 4096],
     "scale": [2, 2, 2],
     "children": [
       {"type": "polygon", "name": "Body", "id": "body",
        "points": [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [2, 0.1, -0.0]],
        "polygons": [[0, 1, 2, 3], [1, 4, 2]],
        "pointSelection": [0, [2, 4]], "polygonSelection": [1], "edgeSelection": [5],
        "tags": [
          {"type": "uvw", "uvw": [[[0, 0], [1, 0], [1, 1], [0, 1]], [[0.1, 0.2, 0.3], [0.5, 0.5], [1, 1]]]},
          {"type": "phong", "angle": 45, "limit": true},
          {"type": "normal", "normals": [[[0, 0, -1], [0, 0, -1], [0, 0, -1], [0, 0, -1]],
                                         [[0, 0, -1], [0, 0.6, -0.8], [0, 0, -1]]]},
          {"type": "polygonselection", "name": "Front", "indices": [0]},
          {"type": "pointselection", "name": "Tip", "indices": [4]},
          {"type": "edgeselection", "name": "Seam", "indices": [[0, 3]]},
          {"type": "texture", "material": "Skin", "restriction": "Front", "active": true},
          {"type": "texture", "material": {"id": "skin"}},
          {"type": "texture", "material": null},
          {"type": "weights", "joints": ["Hip", "Spine"],
           "weights": [[1, 1, 0.5, 0.5, 0], [0, 0, 0.5, 0.5, 1]]},
          {"type": "vertexmap", "name": "edge", "values": [1, 0.5, 0.25, 0, 0.1]},
          {"type": "pmxedge", "params": {"1000": false, "1010": 1, "1011": [1, 0, 0], "1013": "edge"}},
          {"type": 5613, "name": "display", "params": {"1": 1}},
          {"type": "edgeunderscore"}
        ],
        "params": {"900": {"link": "Hip"}, "901": {"file": "a/b.txt"}, "902": {"unit": [8, "cm"]},
                   "903": {"matrix": [[1, 2, 3], [1, 0, 0], [0, 1, 0], [0, 0, 1]]},
                   "904": {"container": {"1": 5, "2": {"link": {"id": "body"}}}, "containerId": 42},
                   "905": null, "906": 12345678901, "907": 1.0, "908": [1, 2, 3],
                   "909": {"link": {"material": "Cloth"}}, "910": true, "911": "text"}},
       {"type": 5159, "name": "Generator",
        "cache": [{"type": "polygon", "name": "Cube", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]],
                   "polygons": [[0, 1, 2]]},
                  {"type": "null", "name": "Extra", "children": [{"type": "joint", "name": "Inner"}]}],
        "deformCache": [{"type": "polygon", "name": "Deformed"}]},
       {"type": "pmxmorph", "name": "Morph", "children": [
         {"type": "polygon", "name": "Base", "points": [[0, 0, 0]], "bits": ["control"]}]}
     ]}
  ]
})json";

class SceneFile : public ::testing::Test {
 protected:
  void SetUp() override { EnsurePluginsRegistered(); }

  static std::unique_ptr<BaseDocument> Load(const std::string& text) {
    std::string error;
    auto doc = LoadSceneText(text, "scene.json", &error);
    EXPECT_NE(doc, nullptr) << error;
    return doc;
  }
  /// The message for a text that must not load.
  static std::string ErrorOf(const std::string& text) {
    std::string error;
    auto doc = LoadSceneText(text, "scene.json", &error);
    EXPECT_EQ(doc, nullptr) << "loaded although it should not: " << text;
    return error;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
};

BaseObject* Find(BaseDocument* doc, const char* name) { return doc->SearchObject(String(name)); }

TEST_F(SceneFile, EveryFeatureReachesTheHostDocument) {
  auto doc = Load(kEveryFeature);
  ASSERT_NE(doc, nullptr);

  // Document.
  const auto* unit = static_cast<const UnitScaleData*>(
      doc->GetDataInstance()->GetCustomDataType(DOCUMENT_DOCUNIT, CUSTOMDATATYPE_UNITSCALE));
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->GetScale(), 2.5);
  EXPECT_EQ(unit->GetUnit(), DOCUMENT_UNIT::MM);
  EXPECT_EQ(doc->GetMode(), Mpolygons);
  EXPECT_EQ(doc->GetDocumentPath().GetString().GetUtf8(), "assets");
  EXPECT_EQ(doc->GetDataInstance()->GetInt32(5000), 7);

  // Materials and channels.
  BaseMaterial* skin = doc->SearchMaterial(String("Skin"));
  ASSERT_NE(skin, nullptr);
  EXPECT_TRUE(skin->GetChannelState(CHANNEL_COLOR));
  EXPECT_FALSE(skin->GetChannelState(CHANNEL_LUMINANCE));
  EXPECT_TRUE(skin->GetChannelState(CHANNEL_TRANSPARENCY))
      << "a channel given without \"on\" is on";
  BaseContainer color = skin->GetChannel(CHANNEL_COLOR)->GetData();
  EXPECT_EQ(color.GetVector(BASECHANNEL_COLOR_EX), Vector(1, 0.5, 0.25));
  EXPECT_EQ(color.GetFloat(BASECHANNEL_BRIGHTNESS_EX), 0.8);
  EXPECT_EQ(color.GetString(BASECHANNEL_TEXTURE).GetUtf8(), "tex/skin.png");
  EXPECT_EQ(skin->GetChannel(CHANNEL_TRANSPARENCY)->GetData().GetFloat(BASECHANNEL_BRIGHTNESS_EX),
            0.25);
  EXPECT_EQ(skin->GetChannel(CHANNEL_SPECULAR)->GetData().GetInt32(1500), 3);
  BaseMaterial* cloth = doc->SearchMaterial(String("Cloth"));
  ASSERT_NE(cloth, nullptr);
  EXPECT_EQ(cloth->GetDataInstance()->GetString(77).GetUtf8(), "x");

  // Joints: transform in the host's units (radians), rotation order, selection bit.
  BaseObject* hip = Find(doc.get(), "Hip");
  ASSERT_NE(hip, nullptr);
  EXPECT_EQ(hip->GetType(), Ojoint);
  EXPECT_EQ(hip->GetRelPos(), Vector(0, 90, 0));
  EXPECT_EQ(hip->GetRelRot(), Vector(Rad(30), Rad(-45), Rad(90)));
  EXPECT_EQ(hip->GetRotationOrder(), ROTATIONORDER_XYZLOCAL);
  EXPECT_TRUE(hip->GetBit(BIT_ACTIVE));
  EXPECT_EQ(doc->GetActiveObject(), hip);
  BaseObject* spine = hip->GetDown();
  ASSERT_NE(spine, nullptr);
  BaseTag* bone = spine->GetTag(1034823);
  ASSERT_NE(bone, nullptr);
  EXPECT_NE(bone->GetNodeData(), nullptr) << "plug-in tags are made through the registry";
  EXPECT_EQ(bone->GetDataInstance()->GetString(1000).GetUtf8(), "上半身");
  EXPECT_TRUE(bone->GetDataInstance()->GetBool(1101));
  EXPECT_EQ(bone->GetDataInstance()->GetData(1010).GetType(), DA_LONG);

  // Null: visibility, bits, scale.
  BaseObject* group = Find(doc.get(), "Group");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->GetType(), Onull);
  EXPECT_EQ(group->GetRenderMode(), MODE_OFF);
  EXPECT_EQ(group->GetEditorMode(), MODE_ON);
  EXPECT_EQ(group->GetAllBits(), BIT_CONTROLOBJECT | 4096);
  EXPECT_EQ(group->GetRelScale(), Vector(2, 2, 2));
  EXPECT_EQ(hip->GetRenderMode(), MODE_UNDEF);

  // Polygon object: geometry and its own selections.
  auto* body = static_cast<PolygonObject*>(Find(doc.get(), "Body"));
  ASSERT_NE(body, nullptr);
  ASSERT_EQ(body->GetType(), Opolygon);
  ASSERT_EQ(body->GetPointCount(), 5);
  EXPECT_EQ(body->GetPointR()[4], Vector(2, 0.1, 0));
  EXPECT_TRUE(std::signbit(body->GetPointR()[4].z)) << "-0.0 stays negative zero";
  ASSERT_EQ(body->GetPolygonCount(), 2);
  EXPECT_EQ(body->GetPolygonR()[0], CPolygon(0, 1, 2, 3));
  EXPECT_EQ(body->GetPolygonR()[1], CPolygon(1, 4, 2));
  EXPECT_EQ(body->GetPointS()->GetCount(), 4);
  EXPECT_TRUE(body->GetPointS()->IsSelected(3));
  EXPECT_FALSE(body->GetPointS()->IsSelected(1));
  EXPECT_TRUE(body->GetPolygonS()->IsSelected(1));
  EXPECT_TRUE(body->GetEdgeS()->IsSelected(5));

  // Tags in file order.
  std::vector<Int32> order;
  for (BaseTag* t = body->GetFirstTag(); t; t = t->GetNext()) {
    if (t->GetType() != Tpoint && t->GetType() != Tpolygon) order.push_back(t->GetType());
  }
  EXPECT_EQ(order, (std::vector<Int32>{Tuvw, Tphong, Tnormal, Tpolygonselection, Tpointselection,
                                       Tedgeselection, Ttexture, Ttexture, Ttexture, Tweights,
                                       Tvertexmap, 1038158, Tdisplay, 1038521}));

  auto* uvw = static_cast<UVWTag*>(body->GetTag(Tuvw));
  ASSERT_EQ(uvw->GetDataCount(), 2);
  EXPECT_EQ(uvw->GetSlow(0).c, Vector(1, 1, 0));
  const UVWStruct tri = uvw->GetSlow(1);
  EXPECT_EQ(tri.a, Vector(Float32(0.1), Float32(0.2), Float32(0.3)));
  EXPECT_EQ(tri.d, tri.c) << "a triangle's fourth corner repeats the third";

  BaseTag* phong = body->GetTag(Tphong);
  EXPECT_TRUE(phong->GetDataInstance()->GetBool(PHONGTAG_PHONG_ANGLELIMIT));
  EXPECT_EQ(phong->GetDataInstance()->GetFloat(PHONGTAG_PHONG_ANGLE), Rad(45));

  Vector32* normals = body->CreatePhongNormals();
  ASSERT_NE(normals, nullptr);
  EXPECT_EQ(normals[5], Vector32(0, 0.6f, -0.8f)) << "explicit normals win over phong";
  DeleteMem(normals);

  auto* sel = static_cast<SelectionTag*>(body->GetTag(Tpolygonselection));
  EXPECT_EQ(sel->GetName().GetUtf8(), "Front");
  EXPECT_TRUE(sel->GetBaseSelect()->IsSelected(0));
  EXPECT_EQ(static_cast<SelectionTag*>(body->GetTag(Tedgeselection))->GetBaseSelect()->GetCount(),
            4);

  auto* tex0 = static_cast<TextureTag*>(body->GetTag(Ttexture, 0));
  auto* tex1 = static_cast<TextureTag*>(body->GetTag(Ttexture, 1));
  auto* tex2 = static_cast<TextureTag*>(body->GetTag(Ttexture, 2));
  EXPECT_EQ(tex0->GetMaterial(), skin);
  EXPECT_EQ(tex0->GetDataInstance()->GetString(TEXTURETAG_RESTRICTION).GetUtf8(), "Front");
  EXPECT_TRUE(tex0->GetBit(BIT_ACTIVE));
  EXPECT_EQ(doc->GetActiveTag(), tex0);
  EXPECT_EQ(tex1->GetMaterial(), skin) << "linked by id";
  EXPECT_EQ(tex2->GetMaterial(), nullptr);
  EXPECT_TRUE(tex2->GetDataInstance()->IsSet(TEXTURETAG_MATERIAL)) << "an empty link is kept";

  auto* weights = static_cast<CAWeightTag*>(body->GetTag(Tweights));
  ASSERT_EQ(weights->GetJointCount(), 2);
  EXPECT_EQ(weights->GetJoint(0, doc.get()), hip);
  EXPECT_EQ(weights->GetJoint(1, doc.get()), spine);
  EXPECT_EQ(weights->GetWeight(0, 2), 0.5);
  EXPECT_EQ(weights->GetWeight(1, 4), 1.0);
  EXPECT_EQ(weights->GetPointCapacity(), 5);

  auto* vmap = static_cast<VariableTag*>(body->GetTag(Tvertexmap));
  ASSERT_EQ(vmap->GetDataCount(), 5);
  EXPECT_EQ(vmap->GetName().GetUtf8(), "edge");
  EXPECT_EQ(vmap->Read<Float32>()[4], 0.1f);

  BaseTag* edge = body->GetTag(1038158);
  EXPECT_NE(edge->GetNodeData(), nullptr);
  EXPECT_FALSE(edge->GetDataInstance()->GetBool(1000));
  EXPECT_EQ(edge->GetDataInstance()->GetData(1010).GetType(), DA_REAL)
      << "the edge size is a float parameter: 1 is stored as 1.0";
  EXPECT_EQ(edge->GetDataInstance()->GetVector(1011), Vector(1, 0, 0));
  EXPECT_EQ(body->GetTag(Tdisplay)->GetName().GetUtf8(), "display");

  // Parameters of every kind.
  const BaseContainer* p = body->GetDataInstance();
  EXPECT_EQ(p->GetLink(900, doc.get()), hip);
  EXPECT_EQ(p->GetData(901).GetType(), DA_FILENAME);
  EXPECT_EQ(p->GetFilename(901).GetString().GetUtf8(), "a/b.txt");
  const auto* u8 =
      static_cast<const UnitScaleData*>(p->GetCustomDataType(902, CUSTOMDATATYPE_UNITSCALE));
  ASSERT_NE(u8, nullptr);
  EXPECT_EQ(*u8, UnitScaleData(8, DOCUMENT_UNIT::CM));
  EXPECT_EQ(p->GetMatrix(903).off, Vector(1, 2, 3));
  BaseContainer inner = p->GetContainer(904);
  EXPECT_EQ(inner.GetId(), 42);
  EXPECT_EQ(inner.GetInt32(1), 5);
  EXPECT_EQ(inner.GetLink(2, doc.get()), body) << "links inside containers are resolved too";
  EXPECT_EQ(p->GetData(905).GetType(), DA_NIL);
  EXPECT_EQ(p->GetInt64(906), 12345678901);
  EXPECT_EQ(p->GetData(907).GetType(), DA_REAL);
  EXPECT_EQ(p->GetVector(908), Vector(1, 2, 3));
  EXPECT_EQ(p->GetLink(909, doc.get()), cloth);
  EXPECT_TRUE(p->GetBool(910));
  EXPECT_EQ(p->GetString(911).GetUtf8(), "text");

  // Fixed caches: chains of objects owned by their generator / deformer.
  BaseObject* gen = Find(doc.get(), "Generator");
  ASSERT_NE(gen, nullptr);
  EXPECT_EQ(gen->GetType(), 5159);
  BaseObject* cache = gen->GetCache();
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->GetName().GetUtf8(), "Cube");
  EXPECT_EQ(static_cast<PolygonObject*>(cache)->GetPolygonCount(), 1);
  ASSERT_NE(cache->GetNext(), nullptr);
  EXPECT_EQ(cache->GetNext()->GetName().GetUtf8(), "Extra");
  EXPECT_EQ(cache->GetNext()->GetDown()->GetName().GetUtf8(), "Inner");
  EXPECT_EQ(cache->GetCacheParent(), gen);
  EXPECT_EQ(cache->GetDocument(), doc.get());
  ASSERT_NE(gen->GetDeformCache(), nullptr);
  EXPECT_EQ(gen->GetDeformCache()->GetName().GetUtf8(), "Deformed");
  EXPECT_EQ(Find(doc.get(), "Cube"), nullptr) << "caches are not part of the object tree";

  BaseObject* morph = Find(doc.get(), "Morph");
  ASSERT_NE(morph, nullptr);
  EXPECT_EQ(morph->GetType(), 1032050);
  EXPECT_NE(morph->GetNodeData(), nullptr);
  EXPECT_TRUE(morph->GetDown()->GetBit(BIT_CONTROLOBJECT));
}

TEST_F(SceneFile, WritingBackIsStableAndExact) {
  auto doc = Load(kEveryFeature);
  ASSERT_NE(doc, nullptr);
  const std::string first = SceneToText(doc.get());
  auto again = Load(first);
  ASSERT_NE(again, nullptr) << first;
  const std::string second = SceneToText(again.get());
  EXPECT_EQ(first, second);

  // Values come back bit for bit: degrees, single-precision UVs, negative zero.
  BaseObject* hip = Find(again.get(), "Hip");
  EXPECT_EQ(hip->GetRelRot(), Vector(Rad(30), Rad(-45), Rad(90)));
  EXPECT_NE(first.find("\"rot\": [30, -45, 90]"), std::string::npos) << first;
  auto* body = static_cast<PolygonObject*>(Find(again.get(), "Body"));
  EXPECT_TRUE(std::signbit(body->GetPointR()[4].z));
  EXPECT_EQ(static_cast<UVWTag*>(body->GetTag(Tuvw))->GetSlow(1).a,
            Vector(Float32(0.1), Float32(0.2), Float32(0.3)));
  EXPECT_NE(first.find("[[0.1, 0.2, 0.3], [0.5, 0.5], [1, 1]]"), std::string::npos)
      << "single-precision values are written in their shortest form";
  auto* weights = static_cast<CAWeightTag*>(body->GetTag(Tweights));
  EXPECT_EQ(weights->GetJoint(1, again.get()), Find(again.get(), "Spine"));
  EXPECT_EQ(body->GetDataInstance()->GetData(907).GetType(), DA_REAL) << "1.0 stays a float";
  EXPECT_EQ(body->GetDataInstance()->GetContainer(904).GetLink(2, again.get()), body);
  EXPECT_EQ(again->GetActiveTag(), body->GetTag(Ttexture));
  EXPECT_EQ(Find(again.get(), "Generator")->GetCache()->GetNext()->GetName().GetUtf8(), "Extra");

  // A plug-in tag's values that equal a new tag's are left out; the others are written.
  auto* bone = Find(again.get(), "Spine")->GetTag(1034823);
  EXPECT_TRUE(bone->GetDataInstance()->GetBool(1101));
  EXPECT_TRUE(bone->GetDataInstance()->GetBool(1100)) << "default from the tag's Init";
  EXPECT_NE(first.find("\"1101\": true"), std::string::npos) << "booleans by the description";
}

TEST_F(SceneFile, AmbiguousLinksAreWrittenWithIds) {
  // Two joints share a name; the weights tag can only tell them apart by id, and a document
  // changed by a tool (no ids remembered) gets ids when it is written.
  auto doc = Load(R"({"objects": [
      {"type": "joint", "name": "J", "id": "first"},
      {"type": "joint", "name": "J"},
      {"type": "polygon", "name": "M", "points": [[0, 0, 0]],
       "tags": [{"type": "weights", "joints": [{"id": "first"}], "weights": [[1]]}]}]})");
  ASSERT_NE(doc, nullptr);
  auto* mesh = Find(doc.get(), "M");
  auto* wt = static_cast<CAWeightTag*>(mesh->GetTag(Tweights));
  BaseObject* second = doc->GetFirstObject()->GetNext();
  wt->AddJoint(second);
  wt->SetWeight(1, 0, 0.5);
  const std::string text = SceneToText(doc.get());
  auto again = Load(text);
  ASSERT_NE(again, nullptr) << text;
  auto* wt2 = static_cast<CAWeightTag*>(Find(again.get(), "M")->GetTag(Tweights));
  ASSERT_EQ(wt2->GetJointCount(), 2);
  EXPECT_EQ(wt2->GetJoint(0, again.get()), again->GetFirstObject());
  EXPECT_EQ(wt2->GetJoint(1, again.get()), again->GetFirstObject()->GetNext());
  EXPECT_NE(text.find("\"id\": \"first\""), std::string::npos) << "the file's own id is kept";
  EXPECT_EQ(SceneToText(again.get()), text);
}

TEST_F(SceneFile, UnitsAsTextOrAsNumberAndName) {
  struct Case {
    const char* unit;
    Float scale;
    DOCUMENT_UNIT expected;
  };
  const Case cases[] = {
      {"\"8cm\"", 8, DOCUMENT_UNIT::CM},       {"\"8 CM\"", 8, DOCUMENT_UNIT::CM},
      {"\"0.5in\"", 0.5, DOCUMENT_UNIT::INCH}, {"\"1e-2m\"", 0.01, DOCUMENT_UNIT::M},
      {"\"3\u00b5m\"", 3, DOCUMENT_UNIT::UM},  {"[2, \"ft\"]", 2, DOCUMENT_UNIT::FOOT},
      {"[1, \"km\"]", 1, DOCUMENT_UNIT::KM},   {"[1.5, \"yd\"]", 1.5, DOCUMENT_UNIT::YARD},
      {"[4, \"mi\"]", 4, DOCUMENT_UNIT::MILE}, {"[7, \"nm\"]", 7, DOCUMENT_UNIT::NM}};
  for (const Case& c : cases) {
    auto doc = Load(std::string("{\"document\": {\"unit\": ") + c.unit + "}}");
    ASSERT_NE(doc, nullptr) << c.unit;
    const auto* u = static_cast<const UnitScaleData*>(
        doc->GetDataInstance()->GetCustomDataType(DOCUMENT_DOCUNIT, CUSTOMDATATYPE_UNITSCALE));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(*u, UnitScaleData(c.scale, c.expected)) << c.unit;
  }
  for (const char* bad :
       {"\"cm\"", "\"-1cm\"", "\"8 parsecs\"", "\"nan m\"", "\"0x10cm\"", "[8]"}) {
    EXPECT_NE(ErrorOf(std::string("{\"document\": {\"unit\": ") + bad + "}}").find("document.unit"),
              std::string::npos)
        << bad;
  }
}

TEST_F(SceneFile, SyntaxErrorsGiveLineAndColumn) {
  EXPECT_EQ(ErrorOf("{\n  \"objects\": [\n    {\"type\": \"null\",}\n  ]\n}"),
            "scene.json:3:21: not valid JSON: unexpected '}'; expected string literal");
  EXPECT_EQ(ErrorOf(""),
            "scene.json:1:1: not valid JSON: unexpected end of input; expected '[', '{', or a "
            "literal");
  const std::string overflow =
      ErrorOf("{\"objects\": [\n {\"type\": \"null\", \"pos\": [1e999, 0, 0]}]}");
  EXPECT_EQ(overflow.rfind("scene.json:2:", 0), 0u) << overflow;
  EXPECT_NE(overflow.find("number overflow"), std::string::npos) << overflow;
  const std::string utf = ErrorOf("{\"objects\": [{\"type\": \"null\", \"name\": \"\xff\"}]}");
  EXPECT_EQ(utf.rfind("scene.json:1:", 0), 0u) << utf;
}

TEST_F(SceneFile, SemanticErrorsNameThePathAndWhatWasExpected) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"[1]",
       "scene.json: expected a scene object { \"scene\": 1, \"objects\": [...] }, got an array of "
       "1 elements"},
      {R"({"scene": 2})",
       "scene.json: scene: expected the scene format version 1, got the number 2"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, "x"]]}]})",
       "scene.json: objects[0].points[0][2]: expected a number, got the text \"x\""},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "polygons": [[0, 1, 3]]}]})",
       "scene.json: objects[0].polygons[0][2]: expected a point index from 0 to 2, got the number "
       "3"},
      {R"({"objects": [{"type": "polygon", "polygons": [[0, 1, 2]]}]})",
       "scene.json: objects[0].polygons[0][0]: expected no point index (the object has no points), "
       "got the number 0"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0]], "tags": [{"type": "weights", "joints": ["Nope"], "weights": [[1]]}]}]})",
       "scene.json: objects[0].tags[0].joints[0]: no object is named \"Nope\""},
      {R"({"objects": [{"type": "null", "name": "A"}, {"type": "null", "name": "A"}, {"type": "null", "params": {"1": {"link": "A"}}}]})",
       "scene.json: objects[2].params.1.link: 2 objects are named \"A\"; give the one you mean an "
       "\"id\" and link to {\"id\": \"...\"}"},
      {R"({"objects": [{"type": "polygon", "tags": [{"type": "texture", "material": "Gone"}]}]})",
       "scene.json: objects[0].tags[0].material: no material is named \"Gone\""},
      {R"({"materials": [{"name": "M", "id": "m"}], "objects": [{"type": "polygon", "points": [[0, 0, 0]], "tags": [{"type": "weights", "joints": [{"id": "m"}], "weights": [[1]]}]}]})",
       "scene.json: objects[0].tags[0].joints[0]: the id \"m\" belongs to a material, not an "
       "object"},
      {R"({"objects": [{"type": "null", "id": "x"}, {"type": "null", "id": "x"}]})",
       "scene.json: objects[1].id: the id \"x\" is used twice"},
      {R"({"objects": [{"type": "null", "rotation": [0, 0, 0]}]})",
       "scene.json: objects[0]: unknown key \"rotation\" (expected one of \"type\", \"name\", "
       "\"id\", \"selected\", \"pos\", \"rot\", \"scale\", \"order\", \"render\", \"editor\", "
       "\"bits\", \"points\", \"polygons\", \"pointSelection\", \"polygonSelection\", "
       "\"edgeSelection\", \"tags\", \"params\", \"cache\", \"deformCache\", \"children\", "
       "\"xray\", \"layer\", \"hiddenPolygons\", \"ngons\")"},
      {R"({"objects": [{"name": "x"}]})",
       "scene.json: objects[0]: missing \"type\" (one of \"polygon\", \"null\", \"joint\", "
       "\"pmxmorph\", \"camera\", or a number)"},
      {R"({"objects": [{"type": "cube"}]})",
       "scene.json: objects[0].type: unknown object type \"cube\" (expected one of \"polygon\", "
       "\"null\", \"joint\", \"pmxmorph\", \"camera\")"},
      {R"({"objects": [{"type": "null", "points": []}]})",
       "scene.json: objects[0]: \"points\" needs a polygon object (this object's type is "
       "\"null\")"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0]], "polygons": [[0, 0, 0]], "tags": [{"type": "uvw", "uvw": []}]}]})",
       "scene.json: objects[0].tags[0].uvw: expected an array of 1 entries (one per polygon), got "
       "an empty array"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0]], "polygons": [[0, 0, 0]], "tags": [{"type": "uvw", "uvw": [[[0, 0], [1e39, 0], [0, 0]]]}]}]})",
       "scene.json: objects[0].tags[0].uvw[0][1][0]: the number 1e+39 is too large for single "
       "precision"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 1, 1]], "tags": [{"type": "weights", "joints": [], "weights": [[1, 0]]}]}]})",
       "scene.json: objects[0].tags[0].weights: expected an array of 0 weight arrays (one per "
       "joint in \"joints\"), got an array of 1 elements"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0]], "pointSelection": [[0, 5]]}]})",
       "scene.json: objects[0].pointSelection[0][1]: expected a point index from 0 to 0, got the "
       "number 5"},
      {R"({"objects": [{"type": "null", "tags": [{"type": 5600}]}]})",
       "scene.json: objects[0].tags[0].type: points and polygons are given by the object's "
       "\"points\" and \"polygons\""},
      {R"({"objects": [{"type": "null", "params": {"abc": 1}}]})",
       "scene.json: objects[0].params.abc: a parameter id must be a whole number such as \"1000\""},
      {R"({"objects": [{"type": "null", "tags": [{"type": "phong", "angle": 10, "params": {"1001": 0.5}}]}]})",
       "scene.json: objects[0].tags[0].params.1001: parameter 1001 is already given by its own "
       "key"},
      {R"({"objects": [{"type": "null", "tags": [{"type": "pmxboneoption", "params": {"1100": "yes"}}]}]})",
       "scene.json: objects[0].tags[0].params.1100: expected true or false, got the text \"yes\""},
      {R"({"document": {"unit": [0, "cm"]}})",
       "scene.json: document.unit[0]: expected a positive number, got the number 0"},
      {R"({"document": {"unit": [1, "parsec"]}})",
       "scene.json: document.unit[1]: expected a unit (km, m, cm, mm, um, nm, mi, yd, ft, in), got "
       "the text \"parsec\""},
      {R"({"objects": [{"type": "null", "render": "hidden"}]})",
       "scene.json: objects[0].render: unknown visibility \"hidden\" (expected one of \"default\", "
       "\"on\", \"off\")"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0]], "tags": [{"type": "vertexmap", "values": [1, 2]}]}]})",
       "scene.json: objects[0].tags[0].values: expected an array of 1 numbers (one per point), got "
       "an array of 2 elements"},
      // Large arrays are read row by row; a mistake after sound rows is still named exactly.
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 2.5, 3], [1, "x", 2]]}]})",
       "scene.json: objects[0].points[2][1]: expected a number, got the text \"x\""},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 2]]}]})",
       "scene.json: objects[0].points[1]: expected [x, y, z], got an array of 2 elements"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "polygons": [[0, 1, 2], [0, 1, 2.0]]}]})",
       "scene.json: objects[0].polygons[1][2]: expected a point index from 0 to 2, got the number "
       "2.0"},
      {R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "polygons": [[0, 1, 2], [0, 1, 2, 1]], "tags": [{"type": "uvw", "uvw": [[[0, 0], [1, 0, 0.5], [0, 1]], [[0, 0], [1, 0], [1, 1], [0, 1e39]]]}]}]})",
       "scene.json: objects[0].tags[0].uvw[1][3][1]: the number 1e+39 is too large for single "
       "precision"},
      {R"({"objects": [{"type": "joint", "name": "J"}, {"type": "polygon", "points": [[0, 0, 0], [1, 1, 1]], "tags": [{"type": "weights", "joints": ["J"], "weights": [[0.5, "a"]]}]}]})",
       "scene.json: objects[1].tags[0].weights[0][1]: expected a number, got the text \"a\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;
  }
}

TEST_F(SceneFile, AbsurdInputIsRefusedWithoutHarm) {
  // Deep nesting: JSON arrays far deeper than any scene, and objects nested past the limit.
  EXPECT_EQ(ErrorOf(std::string(200000, '[') + std::string(200000, ']')),
            "scene.json:1:2049: arrays and objects nest deeper than 2048 levels");
  std::string deep = R"({"objects": [)";
  for (int i = 0; i < 300; ++i) deep += R"({"type": "null", "children": [)";
  for (int i = 0; i < 300; ++i) deep += "]}";
  deep += "]}";
  EXPECT_NE(ErrorOf(deep).find("nested more than 200 levels deep"), std::string::npos);
  // Whole numbers beyond 64 bits, indices beyond 32 bits, NaN spelled out.
  EXPECT_NE(ErrorOf(R"({"objects": [{"type": "null", "params": {"1": 18446744073709551615}}]})")
                .find("expected a whole number of 64 bits"),
            std::string::npos);
  EXPECT_NE(ErrorOf(R"({"objects": [{"type": 4294967296}]})").find("object type number"),
            std::string::npos);
  EXPECT_NE(
      ErrorOf(R"({"objects": [{"type": "null", "pos": [NaN, 0, 0]}]})").find("not valid JSON"),
      std::string::npos);
}

// A large UVW tag is read in two halves on two threads: the values land where they belong, and
// with a mistake in each half the first one is named.
TEST_F(SceneFile, ALargeUvwTagReadsInHalvesAndNamesItsFirstMistake) {
  constexpr int kPolygons = 70000;
  auto scene = [&](const std::map<int, std::string>& odd) {
    std::string polygons, uvw;
    for (int i = 0; i < kPolygons; ++i) {
      polygons += i ? ", [0, 1, 2]" : "[0, 1, 2]";
      const auto o = odd.find(i);
      uvw += (i ? ", " : "") +
             (o != odd.end() ? o->second : "[[" + std::to_string(i) + ", 0], [0, 1], [1, 1]]");
    }
    return R"({"objects": [{"type": "polygon", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], )"
           R"("polygons": [)" +
           polygons + R"(], "tags": [{"type": "uvw", "uvw": [)" + uvw + "]}]}]}";
  };
  auto doc = Load(scene({}));
  ASSERT_NE(doc, nullptr);
  const auto* tag = static_cast<UVWTag*>(doc->GetFirstObject()->GetTag(Tuvw));
  for (int i : {0, 34999, 35000, kPolygons - 1}) {
    EXPECT_EQ(tag->GetSlow(i).a, Vector(i, 0, 0));
    EXPECT_EQ(tag->GetSlow(i).d, Vector(1, 1, 0));  // a triangle repeats its last corner
  }
  EXPECT_EQ(ErrorOf(scene({{20000, "[[0, 0], [1e39, 0], [0, 0]]"}, {60000, "[[0, 0]]"}})),
            "scene.json: objects[0].tags[0].uvw[20000][1][0]: the number 1e+39 is too large for "
            "single precision");
}

TEST_F(SceneFile, HugeFloatParametersReadAsIntegersSafely) {
  // A plug-in that reads a parameter as an integer gets a clamped value, whatever the file held.
  auto doc =
      Load(R"({"objects": [{"type": "null", "params": {"1": 1e300, "2": -1e300, "3": 2.9}}]})");
  ASSERT_NE(doc, nullptr);
  const BaseContainer* bc = doc->GetFirstObject()->GetDataInstance();
  EXPECT_EQ(bc->GetInt32(1), INT32_MAX);
  EXPECT_EQ(bc->GetInt32(2), INT32_MIN);
  EXPECT_EQ(bc->GetInt32(3), 2);
}

TEST_F(SceneFile, TruncatedAndMutatedFilesNeverLoadHalfway) {
  const std::string text = kEveryFeature;
  // Every prefix: either an error that names the file or (only the whole text) a document.
  for (size_t n = 0; n < text.size(); n += 4) {
    std::string error;
    auto doc = LoadSceneText(text.substr(0, n), "cut.json", &error);
    EXPECT_EQ(doc, nullptr);
    EXPECT_EQ(error.rfind("cut.json", 0), 0u) << error;
  }
  // Single-byte changes: whatever loads can be written and read again.
  const char replacements[] = {'"', '1', '[', '}', '-', 'x', ',', '0', ' '};
  for (size_t pos = 0; pos < text.size(); pos += 9) {
    for (char r : replacements) {
      std::string mutated = text;
      mutated[pos] = r;
      std::string error;
      auto doc = LoadSceneText(mutated, "mutated.json", &error);
      if (!doc) {
        EXPECT_EQ(error.rfind("mutated.json", 0), 0u) << error;
        continue;
      }
      const std::string out = SceneToText(doc.get());
      auto back = LoadSceneText(out, "back.json", &error);
      ASSERT_NE(back, nullptr) << error << "\n" << mutated;
      EXPECT_EQ(SceneToText(back.get()), out);
    }
  }
}

// Scene files are mapped rather than read. A file another program cuts short meanwhile must
// not end the program with a bus error: its lost bytes read as zeros and the load says so.
TEST_F(SceneFile, AFileCutShortWhileMappedReadsAsZerosAndIsReported) {
  const std::string path = TempPath("cut_while_mapped.json");
  std::string text(3 * 4096 + 100, ' ');
  text[4096 + 7] = 'x';
  Write(path, text);
  std::string reason;
  auto mapped = pmxapp::MappedFile::Open(path, &reason);
  ASSERT_NE(mapped, nullptr) << reason;
  // Pages dropped from memory come back from the file when read again.
  EXPECT_EQ(mapped->Bytes(), text);
  mapped->DropPages();
  EXPECT_EQ(mapped->Bytes(), text);
  EXPECT_FALSE(mapped->CutShort());
  fs::resize_file(path, 10);
  const std::string_view bytes = mapped->Bytes();
  size_t spaces = 0, zeros = 0;
  for (size_t i = 0; i < bytes.size() + pmxapp::MappedFile::kReadPastEnd; ++i) {
    const char c = bytes.data()[i];
    spaces += c == ' ';
    zeros += c == '\0';
  }
  EXPECT_TRUE(mapped->CutShort());
  EXPECT_GE(spaces, 10u);
  EXPECT_EQ(spaces + zeros, bytes.size() + pmxapp::MappedFile::kReadPastEnd);
  mapped->Release();
  EXPECT_TRUE(mapped->CutShort());

  // What cannot be mapped (a folder, a pipe) is not, and the caller reads it as a stream.
  EXPECT_EQ(pmxapp::MappedFile::Open(fs::path(path).parent_path().string(), &reason), nullptr);
  EXPECT_EQ(reason, "not a regular file");
}

TEST_F(SceneFile, FilesKeepTheirFolderAsTheDocumentPath) {
  const std::string dir = TempPath("scenes");
  fs::create_directories(dir);
  const std::string path = dir + "/シーン.json";
  Write(path, R"({"objects": [{"type": "null", "name": "A"}]})");
  std::string error;
  auto doc = LoadSceneFile(path, &error);
  ASSERT_NE(doc, nullptr) << error;
  EXPECT_EQ(doc->GetDocumentPath().GetString().GetUtf8(),
            fs::path(dir).lexically_normal().generic_string());
  EXPECT_EQ(doc->GetDocumentName().GetString().GetUtf8(), "シーン.json");

  // A relative "path" is relative to the file; writing the file elsewhere keeps it pointing
  // at the same folder.
  Write(path, R"({"document": {"path": "textures"}, "objects": []})");
  doc = LoadSceneFile(path, &error);
  ASSERT_NE(doc, nullptr) << error;
  EXPECT_EQ(doc->GetDocumentPath().GetString().GetUtf8(), dir + "/textures");
  fs::create_directories(dir + "/sub");
  ASSERT_TRUE(SaveSceneFile(doc.get(), dir + "/sub/copy.json", &error)) << error;
  EXPECT_NE(Read(dir + "/sub/copy.json").find("\"path\": \"../textures\""), std::string::npos);
  auto copy = LoadSceneFile(dir + "/sub/copy.json", &error);
  ASSERT_NE(copy, nullptr) << error;
  EXPECT_EQ(copy->GetDocumentPath().GetString().GetUtf8(), dir + "/textures");
  // Written beside the original folder, the path is the file's own folder and is left out.
  fs::create_directories(dir + "/textures");
  ASSERT_TRUE(SaveSceneFile(doc.get(), dir + "/textures/inside.json", &error)) << error;
  EXPECT_EQ(Read(dir + "/textures/inside.json").find("\"path\""), std::string::npos);
  // An absolute path (with a trailing separator) that is the parent of the folder written to
  // becomes "..", which reads back as the same folder: writing again gives the same bytes.
  Write(path, R"({"document": {"path": ")" + dir + R"(/"}, "objects": []})");
  doc = LoadSceneFile(path, &error);
  ASSERT_NE(doc, nullptr) << error;
  ASSERT_TRUE(SaveSceneFile(doc.get(), dir + "/sub/up.json", &error)) << error;
  const std::string up = Read(dir + "/sub/up.json");
  EXPECT_NE(up.find("\"path\": \"..\""), std::string::npos) << up;
  auto back = LoadSceneFile(dir + "/sub/up.json", &error);
  ASSERT_NE(back, nullptr) << error;
  EXPECT_EQ(back->GetDocumentPath().GetString().GetUtf8(),
            fs::path(dir).lexically_normal().generic_string());
  ASSERT_TRUE(SaveSceneFile(back.get(), dir + "/sub/up.json", &error)) << error;
  EXPECT_EQ(Read(dir + "/sub/up.json"), up);

  EXPECT_EQ(LoadSceneFile(dir + "/missing.json", &error), nullptr);
  EXPECT_EQ(error.rfind(dir + "/missing.json: cannot open the scene file", 0), 0u) << error;
  EXPECT_EQ(LoadSceneFile(dir, &error), nullptr);
  EXPECT_EQ(error, dir + ": is a folder, not a scene file");
}

TEST_F(SceneFile, SavingNeverLeavesAHalfWrittenFile) {
  const std::string dir = TempPath("save");
  fs::create_directories(dir);
  const std::string path = dir + "/out.json";
  Write(path, "previous");
  auto doc = Load(R"({"objects": [{"type": "polygon", "name": "P", "points": [[0, 0, 0]]}]})");
  ASSERT_NE(doc, nullptr);
  // A NaN cannot be written as JSON: the old file stays and nothing else appears.
  static_cast<PolygonObject*>(doc->GetFirstObject())->GetPointW()[0].y = std::nan("");
  std::string error;
  EXPECT_FALSE(SaveSceneFile(doc.get(), path, &error));
  EXPECT_EQ(
      error,
      path +
          ": cannot write the scene: objects[0]: a value is not a finite number (NaN or infinity)");
  EXPECT_EQ(Read(path), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  static_cast<PolygonObject*>(doc->GetFirstObject())->GetPointW()[0].y = 2;
  ASSERT_TRUE(SaveSceneFile(doc.get(), path, &error)) << error;
  EXPECT_EQ(Read(path), SceneToText(doc.get()));
  EXPECT_FALSE(SaveSceneFile(doc.get(), dir + "/no/such/folder/out.json", &error));
  EXPECT_EQ(error.rfind(dir + "/no/such/folder/out.json: cannot create the file", 0), 0u) << error;
}

TEST_F(SceneFile, LargeArraysRefuseNonFiniteValuesAndAFullDiskKeepsTheOldFile) {
  const std::string dir = TempPath("large_arrays");
  fs::create_directories(dir);
  const std::string path = dir + "/out.json";
  const char* scene = R"({"objects": [{"type": "joint", "name": "J"}, {
    "type": "polygon", "name": "P", "points": [[0, 0, 0], [1, 0, 0], [1, 1, 0]],
    "polygons": [[0, 1, 2]], "tags": [{"type": "uvw", "uvw": [[[0, 0], [1, 0], [1, 1]]]},
    {"type": "vertexmap", "values": [1, 0.5, 0.25]},
    {"type": "weights", "joints": ["J"], "weights": [[1, 0.5, 0.25]]}]}]})";
  // Every large array is checked before the file is begun, and names its place.
  const struct {
    const char* where;
    void (*spoil)(PolygonObject*);
  } cases[] = {
      {"objects[1]", [](PolygonObject* p) { p->GetPointW()[2].z = INFINITY; }},
      {"objects[1].tags[0]",
       [](PolygonObject* p) {
         static_cast<UVWTag*>(p->GetTag(Tuvw))
             ->SetSlow(0, UVWStruct(Vector(0, 0, 0), Vector(1, NAN, 0), Vector(1, 1, 0),
                                    Vector(1, 1, 0)));
       }},
      {"objects[1].tags[1]",
       [](PolygonObject* p) {
         static_cast<VariableTag*>(p->GetTag(Tvertexmap))->Write<Float32>()[2] = NAN;
       }},
      {"objects[1].tags[2]",
       [](PolygonObject* p) {
         static_cast<CAWeightTag*>(p->GetTag(Tweights))->SetWeight(0, 1, NAN);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    Write(path, "previous");
    auto doc = Load(scene);
    ASSERT_NE(doc, nullptr);
    c.spoil(static_cast<PolygonObject*>(Find(doc.get(), "P")));
    std::string error;
    EXPECT_FALSE(SaveSceneFile(doc.get(), path, &error));
    EXPECT_EQ(error, path + ": cannot write the scene: " + c.where +
                         ": a value is not a finite number (NaN or infinity)");
    EXPECT_EQ(Read(path), "previous");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    // Text for standard output is refused alike, before its first piece.
    size_t pieces = 0;
    EXPECT_FALSE(WriteSceneText(
        doc.get(), dir, [&pieces](const char*, size_t) { ++pieces; }, &error));
    EXPECT_EQ(error, "cannot write the scene: " + std::string(c.where) +
                         ": a value is not a finite number (NaN or infinity)");
    EXPECT_EQ(pieces, 0u);
    EXPECT_EQ(SceneToText(doc.get()), "");
  }

  // A file of several megabytes goes out in pieces; the disk filling up after the first of
  // them still leaves the old file alone and nothing beside it.
  auto doc = Load(R"({"objects": []})");
  ASSERT_NE(doc, nullptr);
  const Int32 count = 150000;
  PolygonObject* big = PolygonObject::Alloc(count, 0);
  for (Int32 i = 0; i < count; ++i) big->GetPointW()[i] = Vector(i, 0.5 * i, -0.25 * i);
  doc->InsertObject(big, nullptr, nullptr);
  const std::string text = SceneToText(doc.get());
  ASSERT_GT(text.size(), size_t(4) << 20);
  std::string streamed;
  size_t pieces = 0;
  std::string error;
  ASSERT_TRUE(WriteSceneText(
      doc.get(), dir,
      [&](const char* piece, size_t size) {
        streamed.append(piece, size);
        ++pieces;
      },
      &error))
      << error;
  EXPECT_EQ(streamed, text);
  EXPECT_GT(pieces, 2u) << "the text goes out a piece at a time";
  host::SetWriteFailureAfter(2 << 20);
  EXPECT_FALSE(SaveSceneFile(doc.get(), path, &error));
  host::SetWriteFailureAfter(-1);
  EXPECT_EQ(error, path + ": cannot write the file (No space left on device)");
  EXPECT_EQ(Read(path), "previous");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  ASSERT_TRUE(SaveSceneFile(doc.get(), path, &error)) << error;
  EXPECT_EQ(Read(path), text);
}

}  // namespace
