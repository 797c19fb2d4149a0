// The conversion of documents into the PMX model: meshes, vertex weights, materials and
// bones, checked on the model itself (no files), plus a few exports read back.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_host_threads.h"
#include "pmx/pmxconvert.h"
#include "pmxbone/pmxbonetag.h"
#include "pmxedge/pmxedgetag.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"
#include "support/pmx_reader.h"
#include "support/pmx_scene.h"

namespace {

using namespace pmxtest;

class PmxConvert : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
  }

  /// Converts `doc` and answers the conversion: its object records and the model built.
  const PmxPolygonExchange& Build(BaseDocument* doc, const PmxExportSettings& settings = {}) {
    exchange_ = PmxPolygonExchange();
    PmxConvertDocument(&exchange_, doc, settings);
    return exchange_;
  }

  static std::vector<std::string> Console() {
    std::vector<std::string> lines;
    for (const String& s : host::ConsoleLines()) lines.push_back(s.GetUtf8());
    return lines;
  }

  static std::vector<Int64> PointsOf(const PmxPolygonExchangeObject& o) {
    std::vector<Int64> p;
    for (const PmxObjectVertex& v : o.GetVertexList()) p.push_back(v.pointIndex);
    return p;
  }

  static std::vector<std::string> MaterialNames(const PmxPolygonExchange& m) {
    std::vector<std::string> n;
    for (const auto& mat : m.model.materials) n.push_back(mat.name.GetUtf8());
    return n;
  }

  PmxPolygonExchange exchange_;
};

std::vector<std::array<Vector, 4>> FlatUvs(Int32 polygons) {
  std::vector<std::array<Vector, 4>> uv;
  for (Int32 i = 0; i < polygons; ++i)
    uv.push_back({Vector(i, 0, 0), Vector(i + 1, 0, 0), Vector(i + 1, 1, 0), Vector(i, 1, 0)});
  return uv;
}

// ---- Mesh ----

TEST_F(PmxConvert, QuadranglesSplitAlongTheFirstDiagonal) {
  DocPtr doc;
  AddMesh(doc.get(), "M", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}},
          {CPolygon(0, 1, 2, 3), CPolygon(1, 4, 2)});
  const PmxPolygonExchange& m = Build(doc.get());
  const auto& tris = m.objects[0]->triangles;
  ASSERT_EQ(tris.size(), 3u);
  auto points = [&](size_t t) {
    return std::vector<Int64>(tris[t].pointIndex, tris[t].pointIndex + 3);
  };
  EXPECT_EQ(points(0), (std::vector<Int64>{0, 1, 2}));
  EXPECT_EQ(points(1), (std::vector<Int64>{0, 2, 3}));
  EXPECT_EQ(points(2), (std::vector<Int64>{1, 4, 2}));
  EXPECT_EQ(tris[1].polygonIndex, 0);
  EXPECT_EQ(tris[2].polygonIndex, 1);
  // The faces keep the host's corner order.
  const auto& faces = m.model.materials[0].triangles;
  EXPECT_EQ(faces[1].vertexIndex[2], tris[1].vertexIndex[2]);
}

TEST_F(PmxConvert, PointsSplitOnlyWhereNormalUvOrMaterialDiffer) {
  DocPtr doc;
  PolygonObject* smooth = AddStrip(doc.get(), "Smooth", 2);
  AddPhong(smooth);
  AddUvw(smooth, FlatUvs(2));
  PolygonObject* seam = AddStrip(doc.get(), "Seam", 2);
  AddPhong(seam);
  auto uv = FlatUvs(2);
  uv[1][0] = Vector(5, 0, 0);  // the shared column gets other UVs in the second quad
  uv[1][3] = Vector(5, 1, 0);
  AddUvw(seam, uv);
  PolygonObject* w = AddStrip(doc.get(), "OnlyW", 2);
  AddPhong(w);
  uv = FlatUvs(2);
  uv[1][0].z = 1;  // w differs: still a different vertex
  AddUvw(w, uv);
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(m.objects[0]->GetVertexCount(), 6);
  EXPECT_EQ(m.objects[1]->GetVertexCount(), 8);
  EXPECT_EQ(m.objects[2]->GetVertexCount(), 7);
}

TEST_F(PmxConvert, WithoutPhongFoldedQuadsShareNoVertex) {
  DocPtr doc;
  // Two quads meeting at x = 1 with a bend.
  PolygonObject* op =
      AddMesh(doc.get(), "Fold", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 1}, {2, 1, 1}},
              {CPolygon(0, 1, 2, 3), CPolygon(1, 4, 5, 2)});
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(m.objects[0]->GetVertexCount(), 8);
  for (const PmxObjectVertex& v : m.objects[0]->GetVertexList())
    EXPECT_NEAR(v.normal.GetLength(), 1.0f, 1e-6f);
  // With phong shading across the bend the shared edge has one normal per point.
  AddPhong(op, 89);
  EXPECT_EQ(Build(doc.get()).objects[0]->GetVertexCount(), 6);
}

TEST_F(PmxConvert, ExplicitNormalsAreNormalisedInSinglePrecision) {
  DocPtr doc;
  PolygonObject* op = AddQuad(doc.get(), "Q");
  AddNormals(op, {{Vector32(0, 0, 2), Vector32(0, 3, 4), Vector32(0, 0, 0), Vector32(1, 0, 0)}});
  const PmxPolygonExchange& m = Build(doc.get());
  const auto& v = m.objects[0]->GetVertexList();
  EXPECT_EQ(v[0].normal, Vector32(0, 0, 1));
  EXPECT_EQ(v[1].normal, Vector32(0, 0.6f, 0.8f));
  EXPECT_EQ(v[2].normal, Vector32(0, 0, 0));  // zero stays zero
  EXPECT_EQ(v[3].normal, Vector32(1, 0, 0));
  EXPECT_EQ(m.model.vertices[1].normal[2], 0.8f);
}

TEST_F(PmxConvert, MissingUvwExportsZero) {
  DocPtr doc;
  AddQuad(doc.get(), "Q");
  const PmxPolygonExchange& m = Build(doc.get());
  for (const PmxVertex& v : m.model.vertices) {
    EXPECT_EQ(v.uv[0], 0.0f);
    EXPECT_EQ(v.uv[1], 0.0f);
  }
}

TEST_F(PmxConvert, ScalingOfTheObjectReachesPositionsAndNormals) {
  DocPtr doc;
  PolygonObject* op =
      AddMesh(doc.get(), "X", {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}}, {CPolygon(0, 1, 2, 3)});
  op->SetRelScale(Vector(2, 1, 1));
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(m.model.vertices[0].position[0], 2.0);
  EXPECT_EQ(m.model.vertices[0].normal[0], 2.0f);  // not normalised again
}

TEST_F(PmxConvert, LaterTextureTagsWinAndEmptyOnesMakeNoMaterial) {
  DocPtr doc;
  BaseMaterial* red = AddMaterial(doc.get(), "Red", Vector(1, 0, 0));
  BaseMaterial* blue = AddMaterial(doc.get(), "Blue", Vector(0, 0, 1));
  PolygonObject* op = AddStrip(doc.get(), "S", 2);
  AddTexture(op, red);
  AddTexture(op, blue);
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(MaterialNames(m), std::vector<std::string>{"Blue"});
  EXPECT_EQ(m.model.materials[0].triangles.size(), 4u);
}

TEST_F(PmxConvert, RestrictionsPickPolygonsAndUnknownOnesAssignNothing) {
  DocPtr doc;
  BaseMaterial* a = AddMaterial(doc.get(), "A", Vector(1, 0, 0));
  BaseMaterial* b = AddMaterial(doc.get(), "B", Vector(0, 1, 0));
  BaseMaterial* c = AddMaterial(doc.get(), "C", Vector(0, 0, 1));
  PolygonObject* op = AddStrip(doc.get(), "S", 4);
  AddPolygonSelection(op, "first", {0});
  AddPolygonSelection(op, "last", {2, 3});
  AddTexture(op, a, "first");
  AddTexture(op, b, "last");
  AddTexture(op, c, "no such selection");
  const PmxPolygonExchange& m = Build(doc.get());
  // Polygon 1 belongs to no tag: the default material, which is always made first; the
  // others follow the order in which the triangles reach them.
  EXPECT_EQ(MaterialNames(m), (std::vector<std::string>{"デフォルト", "A", "B"}));
  // Vertices follow the passes: the later tag's polygons first, then the earlier tag's,
  // then the default pass.
  const std::vector<Int64> points = PointsOf(*m.objects[0]);
  EXPECT_EQ(std::vector<Int64>(points.begin(), points.begin() + 4),
            (std::vector<Int64>{4, 6, 7, 5}));
  EXPECT_EQ(points.size(), 4u + 2u + 4u + 4u);
}

TEST_F(PmxConvert, ATextureTagWithoutMaterialLeavesItsPolygonsToOthers) {
  DocPtr doc;
  BaseMaterial* skin = AddMaterial(doc.get(), "Skin", Vector(1));
  PolygonObject* op = AddStrip(doc.get(), "S", 2);
  AddPolygonSelection(op, "one", {1});
  AddTexture(op, skin);
  AddTexture(op, nullptr, "one");
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(MaterialNames(m), std::vector<std::string>{"Skin"});
  EXPECT_EQ(m.model.materials[0].triangles.size(), 4u);
}

TEST_F(PmxConvert, APointUnderTwoTextureTagsMakesTwoVertices) {
  DocPtr doc;
  PolygonObject* op = AddStrip(doc.get(), "S", 2);
  AddPolygonSelection(op, "right", {1});
  AddTexture(op, AddMaterial(doc.get(), "L", Vector(1)));
  AddTexture(op, AddMaterial(doc.get(), "R", Vector(1)), "right");
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(m.objects[0]->GetVertexCount(), 8);
  EXPECT_EQ(MaterialNames(m), (std::vector<std::string>{"L", "R"}));
}

TEST_F(PmxConvert, PolygonsNamingMissingPointsAreLeftOut) {
  DocPtr doc;
  AddMesh(doc.get(), "Broken", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}},
          {CPolygon(0, 1, 2), CPolygon(0, 1, 7), CPolygon(-1, 0, 1)});
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(m.objects[0]->triangles.size(), 1u);
  const std::string path = TempPath("broken.pmx");
  EXPECT_EQ(ExportDocument(doc.get(), path), FILEERROR_NONE);
  EXPECT_EQ(ParsePmxWithMmdParser(path)["metadata"]["faceCount"], 1);
}

TEST_F(PmxConvert, ObjectsWithoutPolygonsContributeNothing) {
  DocPtr doc;
  AddMesh(doc.get(), "Points", {{0, 0, 0}, {1, 0, 0}}, {});
  AddQuad(doc.get(), "Q");
  const PmxPolygonExchange& m = Build(doc.get());
  ASSERT_EQ(m.objects.size(), 1u);
  EXPECT_EQ(m.objects[0]->name, String("Q"));
}

// ---- Weights ----

struct Rig {
  DocPtr doc;
  std::vector<BaseObject*> joints;
  explicit Rig(int n) {
    for (int i = 0; i < n; ++i) {
      joints.push_back(AddJoint(doc.get(), ("J" + std::to_string(i)).c_str(), Vector(i * 10, 0, 0),
                                i == 0 ? nullptr : joints.back()));
    }
  }
};

TEST_F(PmxConvert, MoreThanFourInfluencesKeepTheStrongestAndWarnPerVertex) {
  Rig rig(5);
  PolygonObject* op =
      AddMesh(rig.doc.get(), "Body", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {CPolygon(0, 1, 2)});
  // Point 0 has five influences, given in an order that is not their strength order.
  AddWeights(op, rig.joints, {{0.1, 1, 1}, {0.25, 0, 0}, {0.3, 0, 0}, {0.15, 0, 0}, {0.2, 0, 0}});
  PmxExportSettings plain;
  const PmxPolygonExchange& m = Build(rig.doc.get(), plain);
  EXPECT_EQ(Console(),
            std::vector<std::string>{
                "オブジェクト[Body]ウェイト数がPMXの仕様以上設定されている頂点があります。"
                "id=0, count=5\n"});
  const PmxVertex& v = m.model.vertices[0];
  EXPECT_EQ(v.deformType, PMX_DEFORM_BDEF4);
  EXPECT_EQ(std::vector<Int64>(v.boneIndex, v.boneIndex + 4), (std::vector<Int64>{2, 1, 4, 3}));
  EXPECT_EQ(std::vector<Float>(v.boneWeight, v.boneWeight + 4),
            (std::vector<Float>{0.3, 0.25, 0.2, 0.15}));

  PmxExportSettings limit;
  limit.limitDeformToInfluences = 1;
  const PmxVertex& n = Build(rig.doc.get(), limit).model.vertices[0];
  EXPECT_EQ(n.deformType, PMX_DEFORM_BDEF4);
  const Float inv = 1.0 / (((0.3 + 0.25) + 0.2) + 0.15);
  EXPECT_EQ(n.boneWeight[0], 0.3 * inv);
  EXPECT_EQ(n.boneWeight[3], 0.15 * inv);
  EXPECT_NEAR(n.boneWeight[0] + n.boneWeight[1] + n.boneWeight[2] + n.boneWeight[3], 1.0, 1e-12);

  // A point split into two vertices warns for each.
  AddUvw(op, {{Vector(0, 0, 0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 1, 0)}});
  op->ResizeObject(3, 2);
  op->GetPolygonW()[1] = CPolygon(0, 2, 1);
  host::ClearRecords();
  Build(rig.doc.get());
  EXPECT_EQ(Console().size(), 2u);
}

// A large object's influences are gathered on two threads: the same vertices, and the same
// warnings in the same (vertex) order, as on one.
TEST_F(PmxConvert, InfluencesOfALargeObjectAreTheSameOnOneThreadAndOnTwo) {
  Rig rig(6);
  constexpr Int32 kSide = 300;  // 90,601 points
  std::vector<Vector> points;
  std::vector<CPolygon> polygons;
  for (Int32 y = 0; y <= kSide; ++y)
    for (Int32 x = 0; x <= kSide; ++x) points.push_back(Vector(x, y, 0));
  for (Int32 y = 0; y < kSide; ++y)
    for (Int32 x = 0; x < kSide; ++x) {
      const Int32 a = y * (kSide + 1) + x;
      polygons.push_back(CPolygon(a, a + 1, a + kSide + 2, a + kSide + 1));
    }
  PolygonObject* op = AddMesh(rig.doc.get(), "Body", points, polygons);
  std::vector<std::vector<Float>> weights(6, std::vector<Float>(points.size(), 0.0));
  for (size_t p = 0; p < points.size(); ++p) {
    const size_t many = p % 997 == 0 ? 6 : 1 + p % 3;  // now and then more than four
    for (size_t j = 0; j < many; ++j) weights[(p + j) % 6][p] = 0.1 * static_cast<Float>(j + 1);
  }
  AddWeights(op, rig.joints, weights);

  auto run = [&](Int32 threads) {
    host::SetThreadCount(threads);
    host::ClearRecords();
    const PmxPolygonExchange& m = Build(rig.doc.get());
    std::vector<std::pair<std::vector<Int32>, std::vector<Float>>> v;
    for (const PmxVertex& x : m.model.vertices)
      v.emplace_back(std::vector<Int32>(x.boneIndex, x.boneIndex + 4),
                     std::vector<Float>(x.boneWeight, x.boneWeight + 4));
    return std::make_pair(v, Console());
  };
  const auto one = run(0), two = run(2);
  host::SetThreadCount(-1);
  EXPECT_EQ(one.second.size(), points.size() / 997 + 1);
  EXPECT_EQ(one.second, two.second);
  EXPECT_EQ(one.first, two.first);
}

TEST_F(PmxConvert, DeformTypeFollowsTheKeptInfluencesWhenLimited) {
  Rig rig(3);
  PolygonObject* op =
      AddMesh(rig.doc.get(), "Body", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {CPolygon(0, 1, 2)});
  // Point 0: one influence of 0.5; point 1: two influences; point 2: exactly the threshold.
  AddWeights(op, rig.joints, {{0.5, 0.2, 1e-10}, {0, 0.6, 0}, {0, 0, 0}});
  PmxExportSettings limit;
  limit.limitDeformToInfluences = 1;
  const PmxPolygonExchange& m = Build(rig.doc.get(), limit);
  EXPECT_EQ(m.model.vertices[0].deformType, PMX_DEFORM_BDEF1);
  EXPECT_EQ(m.model.vertices[0].boneWeight[0], 1.0);
  EXPECT_EQ(m.model.vertices[1].deformType, PMX_DEFORM_BDEF2);
  EXPECT_EQ(m.model.vertices[1].boneIndex[0], 1);
  EXPECT_EQ(m.model.vertices[1].boneIndex[1], 0);
  EXPECT_EQ(m.model.vertices[1].boneWeight[0], 0.6 * (1.0 / (0.6 + 0.2)));
  // The threshold counts as an influence but is too small to keep: bone 0 with weight 1.
  EXPECT_EQ(m.model.vertices[2].deformType, PMX_DEFORM_BDEF1);
  EXPECT_EQ(m.model.vertices[2].boneIndex[0], 0);
  EXPECT_EQ(m.model.vertices[2].boneWeight[0], 1.0);
  EXPECT_EQ(Console(),
            std::vector<std::string>{"オブジェクト[Body]にウェイト値が無い頂点が1個あります。\n"});

  const PmxPolygonExchange& plain = Build(rig.doc.get());
  EXPECT_EQ(plain.model.vertices[0].deformType, PMX_DEFORM_BDEF4);
  EXPECT_EQ(std::vector<Float>(plain.model.vertices[0].boneWeight,
                               plain.model.vertices[0].boneWeight + 4),
            (std::vector<Float>{0.5, 0, 0, 0}));
  EXPECT_EQ(
      std::vector<Int64>(plain.model.vertices[0].boneIndex, plain.model.vertices[0].boneIndex + 4),
      (std::vector<Int64>{0, 0, 0, 0}));
  EXPECT_EQ(plain.model.vertices[2].deformType, PMX_DEFORM_BDEF1);
}

TEST_F(PmxConvert, TheStrongestFourRankNotANumberLastAndEqualWeightsInJointOrder) {
  const Float nan = std::numeric_limits<Float>::quiet_NaN();
  struct Case {
    std::vector<Float> weights;  // per joint, at point 0
    std::vector<Int64> bones;
  };
  for (const Case& c : {Case{{nan, 0.2, 0.4, 0.2, 0.2, 0.2}, {2, 1, 3, 4}},
                        Case{{0.1, 0.5, 0.2, 0.3, 0.4, nan}, {1, 4, 3, 2}},
                        Case{{-0.5, 0.3, 0.2, 0.1, 0.1, 0.1}, {1, 2, 3, 4}}}) {
    Rig rig(6);
    PolygonObject* op =
        AddMesh(rig.doc.get(), "Body", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {CPolygon(0, 1, 2)});
    std::vector<std::vector<Float>> weights;
    for (Float w : c.weights) weights.push_back({w, 0, 0});
    AddWeights(op, rig.joints, weights);
    const PmxVertex& v = Build(rig.doc.get()).model.vertices[0];
    EXPECT_EQ(std::vector<Int64>(v.boneIndex, v.boneIndex + 4), c.bones);
  }
}

TEST_F(PmxConvert, AWeightTagWithFewJointsFillsFewSlots) {
  Rig rig(2);
  PolygonObject* op =
      AddMesh(rig.doc.get(), "Body", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {CPolygon(0, 1, 2)});
  AddWeights(op, rig.joints, {{0.5, 1, 1}, {0.5, 0, 0}});
  const PmxPolygonExchange& m = Build(rig.doc.get());
  const PmxObjectVertex& v = m.objects[0]->GetVertex(0);
  EXPECT_NE(v.influences[1].joint, nullptr);
  EXPECT_EQ(v.influences[2].joint, nullptr);
  EXPECT_EQ(v.influences[3].joint, nullptr);
  EXPECT_TRUE(Console().empty());
}

TEST_F(PmxConvert, WithoutJointsEveryVertexFollowsTheCentreBoneSilently) {
  DocPtr doc;
  AddQuad(doc.get(), "Q");
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_TRUE(m.createdCenterBone);
  for (const PmxVertex& v : m.model.vertices) {
    EXPECT_EQ(v.deformType, PMX_DEFORM_BDEF1);
    EXPECT_EQ(v.boneIndex[0], 0);
  }
  EXPECT_TRUE(Console().empty());
}

TEST_F(PmxConvert, WeightsOfJointsThatAreNotExportedAreDropped) {
  DocPtr doc;
  AddJoint(doc.get(), "Exported", Vector());
  BaseObject* hidden = AddJoint(doc.get(), "Hidden", Vector(5, 0, 0));
  hidden->SetRenderMode(MODE_OFF);
  PolygonObject* op = AddQuad(doc.get(), "Body");
  AddWeights(op, {hidden}, {{1, 1, 1, 1}});
  const PmxPolygonExchange& m = Build(doc.get());
  for (const PmxVertex& v : m.model.vertices) {
    EXPECT_EQ(v.deformType, PMX_DEFORM_BDEF1);
    EXPECT_EQ(v.boneIndex[0], 0);
  }
  EXPECT_EQ(Console(),
            std::vector<std::string>{"オブジェクト[Body]にウェイト値が無い頂点が4個あります。\n"});
  // Without any exported joint the centre bone takes them without a word.
  doc->GetFirstObject()->SetRenderMode(MODE_OFF);
  host::ClearRecords();
  EXPECT_TRUE(Build(doc.get()).createdCenterBone);
  EXPECT_TRUE(Console().empty());
}

// ---- Materials ----

TEST_F(PmxConvert, MaterialsAreMadePerTextureTag) {
  DocPtr doc;
  BaseMaterial* skin = AddMaterial(doc.get(), "Skin", Vector(1), "skin.png");
  AddTexture(AddQuad(doc.get(), "Arm"), skin);
  AddTexture(AddQuad(doc.get(), "Leg"), skin);
  BaseMaterial* plain = AddMaterial(doc.get(), "Plain", Vector(0.5));
  AddTexture(AddQuad(doc.get(), "Head"), plain);
  BaseMaterial* again = AddMaterial(doc.get(), "Again", Vector(1), "skin.png");
  AddTexture(AddQuad(doc.get(), "Foot"), again);
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(MaterialNames(m), (std::vector<std::string>{"Skin", "Skin", "Plain", "Again"}));
  EXPECT_EQ(m.textureNames, std::vector<String>{String("skin.png")});
  EXPECT_EQ(m.model.materials[0].textureIndex, 0);
  EXPECT_EQ(m.model.materials[2].textureIndex, -1);
  EXPECT_EQ(m.model.materials[3].textureIndex, 0);

  PmxExportSettings named;
  named.materialNameWithObject = 1;
  EXPECT_EQ(MaterialNames(Build(doc.get(), named)),
            (std::vector<std::string>{"Skin-Arm", "Skin-Leg", "Plain-Head", "Again-Foot"}));
}

TEST_F(PmxConvert, MaterialColoursComeFromFourChannels) {
  DocPtr doc;
  BaseMaterial* mat = AddMaterial(doc.get(), "M", Vector(0.5, 0.25, 1));
  mat->GetChannel(CHANNEL_COLOR)->GetDataInstance()->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 0.5);
  mat->SetChannelState(CHANNEL_TRANSPARENCY, true);
  mat->GetChannel(CHANNEL_TRANSPARENCY)
      ->GetDataInstance()
      ->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 0.25);
  mat->SetChannelState(CHANNEL_SPECULAR, true);
  BaseContainer* specular = mat->GetChannel(CHANNEL_SPECULAR)->GetDataInstance();
  specular->SetVector(BASECHANNEL_COLOR_EX, Vector(0.1, 0.2, 0.3));
  specular->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 4);
  mat->SetChannelState(CHANNEL_LUMINANCE, true);
  BaseContainer* lum = mat->GetChannel(CHANNEL_LUMINANCE)->GetDataInstance();
  lum->SetVector(BASECHANNEL_COLOR_EX, Vector(1, 0.5, 0));
  lum->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 0.5);
  AddTexture(AddQuad(doc.get(), "Q"), mat);

  BaseMaterial* off = AddMaterial(doc.get(), "Off", Vector(0.2));
  off->SetChannelState(CHANNEL_COLOR, false);
  off->GetChannel(CHANNEL_TRANSPARENCY)
      ->GetDataInstance()
      ->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 0.25);
  AddTexture(AddQuad(doc.get(), "R"), off);

  const PmxPolygonExchange& m = Build(doc.get());
  const PmxMaterial& a = m.model.materials[0];
  EXPECT_EQ(std::vector<Float>(a.diffuse, a.diffuse + 4),
            (std::vector<Float>{0.25, 0.125, 0.5, 0.75}));
  EXPECT_EQ(std::vector<Float>(a.specular, a.specular + 3), (std::vector<Float>{0.1, 0.2, 0.3}));
  EXPECT_EQ(a.specularPower, 4);
  EXPECT_EQ(std::vector<Float>(a.ambient, a.ambient + 3), (std::vector<Float>{0.5, 0.25, 0}));
  const PmxMaterial& b = m.model.materials[1];
  EXPECT_EQ(std::vector<Float>(b.diffuse, b.diffuse + 4), (std::vector<Float>{1, 1, 1, 1}));
  EXPECT_EQ(b.specularPower, 0);
  EXPECT_EQ(b.ambient[0], 0.5);
  EXPECT_EQ(b.textureIndex, -1);
}

TEST_F(PmxConvert, TheDefaultMaterialComesFirstOnlyWhenUsed) {
  DocPtr doc;
  PolygonObject* op = AddStrip(doc.get(), "S", 2);
  AddPolygonSelection(op, "one", {1});
  AddTexture(op, AddMaterial(doc.get(), "Skin", Vector(1)), "one");
  const PmxPolygonExchange& m = Build(doc.get());
  EXPECT_EQ(MaterialNames(m), (std::vector<std::string>{"デフォルト", "Skin"}));
  const PmxMaterial& d = m.model.materials[0];
  EXPECT_EQ(d.nameEnglish, String("default"));
  EXPECT_EQ(
      d.memo,
      String("CINEMA 4D 上でマテリアルが設定されていない面に対して適用している代替素材です。"));
  EXPECT_EQ(std::vector<Float>(d.ambient, d.ambient + 3), (std::vector<Float>{0.5, 0.5, 0.5}));

  AddTexture(op, AddMaterial(doc.get(), "All", Vector(1)));
  // A later tag over everything leaves the earlier one without triangles and material.
  EXPECT_EQ(MaterialNames(Build(doc.get())), std::vector<std::string>{"All"});
}

TEST_F(PmxConvert, EdgeTagsSetFlagsAndEdgeButNotOnTheDefaultMaterial) {
  DocPtr doc;
  PolygonObject* op = AddStrip(doc.get(), "S", 2);
  AddPolygonSelection(op, "one", {1});
  AddTexture(op, AddMaterial(doc.get(), "Skin", Vector(1)), "one");
  BaseTag* edge = AddPluginTag(op, ID_PMX_EDGE_TAG);
  BaseContainer* bc = edge->GetDataInstance();
  bc->SetBool(PMX_EDGE_DRAW, false);
  bc->SetFloat(PMX_EDGE_SIZE, 0.5);
  bc->SetVector(PMX_EDGE_COLOR, Vector(1, 0, 0.5));
  bc->SetBool(PMX_EDGE_DOUBLE_SIDED, true);
  bc->SetBool(PMX_EDGE_GROUND_SHADOW, false);
  AddTexture(AddQuad(doc.get(), "NoEdgeTag"), AddMaterial(doc.get(), "Other", Vector(1)));
  const PmxPolygonExchange& m = Build(doc.get());
  ASSERT_EQ(MaterialNames(m), (std::vector<std::string>{"デフォルト", "Skin", "Other"}));
  const PmxMaterial& d = m.model.materials[0];
  EXPECT_EQ(d.drawEdge, 1);
  EXPECT_EQ(d.doubleSided, 0);
  EXPECT_EQ(d.edgeSize, 1.0);
  const PmxMaterial& s = m.model.materials[1];
  EXPECT_EQ(s.drawEdge, 0);
  EXPECT_EQ(s.doubleSided, 1);
  EXPECT_EQ(s.groundShadow, 0);
  EXPECT_EQ(s.selfShadowMap, 1);
  EXPECT_EQ(s.selfShadow, 1);
  EXPECT_EQ(std::vector<Float>(s.edgeColor, s.edgeColor + 4), (std::vector<Float>{1, 0, 0.5, 1}));
  EXPECT_EQ(s.edgeSize, 0.5);
  const PmxMaterial& o = m.model.materials[2];
  EXPECT_EQ(o.drawEdge, 1);
  EXPECT_EQ(std::vector<Float>(o.edgeColor, o.edgeColor + 4), (std::vector<Float>{0, 0, 0, 1}));
  EXPECT_EQ(o.edgeSize, 1.0);
}

TEST_F(PmxConvert, EdgeScaleComesFromTheNamedVertexMap) {
  DocPtr doc;
  PolygonObject* op = AddQuad(doc.get(), "Q");
  AddVertexMap(op, "other", {9, 9, 9, 9});
  AddVertexMap(op, "scale", {0.5f, 1, 2});  // one value short: that point keeps 1.0
  AddVertexMap(op, "scale", {7, 7, 7, 7});  // only the first of the name counts
  BaseTag* edge = AddPluginTag(op, ID_PMX_EDGE_TAG);
  const PmxPolygonExchange& plain = Build(doc.get());
  for (const PmxVertex& v : plain.model.vertices) EXPECT_EQ(v.edgeScale, 1.0);
  edge->GetDataInstance()->SetString(PMX_EDGE_VERTEX_MAP, String("scale"));
  const PmxPolygonExchange& m = Build(doc.get());
  std::vector<Float> scales;
  for (const PmxVertex& v : m.model.vertices) scales.push_back(v.edgeScale);
  EXPECT_EQ(scales, (std::vector<Float>{0.5, 1, 2, 1}));
}

// ---- Bones ----

std::vector<std::string> FrameNames(const PmxPolygonExchange& m) {
  std::vector<std::string> n;
  for (const auto& f : m.model.displayFrames) n.push_back(f.name.GetUtf8());
  return n;
}

std::vector<Int64> FrameBones(const PmxPolygonExchange& m, size_t frame) {
  std::vector<Int64> b;
  for (const auto& e : m.model.displayFrames[frame].elements) b.push_back(e.boneIndex);
  return b;
}

TEST_F(PmxConvert, WithoutJointsThereIsOneCentreBone) {
  DocPtr doc;
  PmxExportSettings s;
  s.scale = 0.5;
  const PmxPolygonExchange& m = Build(doc.get(), s);
  ASSERT_EQ(m.model.bones.size(), 1u);
  const PmxBone& c = m.model.bones[0];
  EXPECT_EQ(c.name, String("センター"));
  EXPECT_EQ(c.nameEnglish, String("Center"));
  EXPECT_EQ(c.tailIsBone, 0);
  EXPECT_EQ(c.tailOffset[1], -8.0);  // not scaled
  EXPECT_EQ(c.movable, 1);
  EXPECT_EQ(FrameNames(m), (std::vector<std::string>{"Root", "表情", "ボーン"}));
  EXPECT_EQ(FrameBones(m, 0), std::vector<Int64>{0});
  EXPECT_TRUE(FrameBones(m, 1).empty());
  EXPECT_EQ(FrameBones(m, 2), std::vector<Int64>{0});
  EXPECT_EQ(m.model.displayFrames[1].nameEnglish, String("Exp"));
  EXPECT_EQ(m.model.displayFrames[2].special, 0);
}

TEST_F(PmxConvert, AJointChainBecomesBonesWithTailsAndAHiddenEnd) {
  DocPtr doc;
  BaseObject* root = AddJoint(doc.get(), "Root", Vector(0, 10, 0));
  BaseObject* mid = AddJoint(doc.get(), "Mid", Vector(0, 10, 0), root);
  BaseObject* end = AddJoint(doc.get(), "End", Vector(0, 10, 0), mid);
  BaseTag* tag = AddPluginTag(end, ID_PMX_BONE_OPTION_TAG);
  tag->GetDataInstance()->SetBool(PMX_BONE_VISIBLE, true);
  PmxExportSettings s;
  s.scale = 0.125;
  const PmxPolygonExchange& m = Build(doc.get(), s);
  ASSERT_EQ(m.model.bones.size(), 3u);
  EXPECT_EQ(m.model.bones[0].parentIndex, -1);
  EXPECT_EQ(m.model.bones[1].parentIndex, 0);
  EXPECT_EQ(m.model.bones[2].parentIndex, 1);
  EXPECT_EQ(m.model.bones[0].tailIndex, 1);
  EXPECT_EQ(m.model.bones[1].tailIndex, 2);
  EXPECT_EQ(m.model.bones[2].tailIsBone, 1);
  EXPECT_EQ(m.model.bones[2].tailIndex, -1);
  EXPECT_EQ(m.model.bones[2].visible, 0);  // an end bone is hidden whatever its tag says
  EXPECT_EQ(m.model.bones[1].position[1], 20 * 0.125);
  EXPECT_EQ(m.model.bones[2].position[1], 30 * 0.125);
  EXPECT_EQ(FrameBones(m, 0), std::vector<Int64>{0});
  EXPECT_EQ(FrameBones(m, 2), (std::vector<Int64>{0, 1}));
  EXPECT_FALSE(m.createdCenterBone);

  const std::string path = TempPath("chain.pmx");
  ASSERT_EQ(ExportDocument(doc.get(), path), FILEERROR_NONE);
  const auto j = ParsePmxWithMmdParser(path);
  EXPECT_EQ(j["bones"][0]["connectIndex"], 1);
  EXPECT_EQ(j["bones"][2]["connectIndex"], -1);
  EXPECT_EQ(j["bones"][2]["flag"], 0x0001 | 0x0002 | 0x0010);
}

TEST_F(PmxConvert, BonesAreInDepthFirstOrderAndTailsPointAtTheFirstChild) {
  DocPtr doc;
  BaseObject* hip = AddJoint(doc.get(), "Hip", Vector());
  BaseObject* left = AddJoint(doc.get(), "Left", Vector(-1, 0, 0), hip);
  AddJoint(doc.get(), "LeftKnee", Vector(0, -5, 0), left);
  AddJoint(doc.get(), "Right", Vector(1, 0, 0), hip);
  AddJoint(doc.get(), "Second", Vector(0, 50, 0));
  const PmxPolygonExchange& m = Build(doc.get());
  std::vector<std::string> names;
  for (const auto& b : m.model.bones) names.push_back(b.name.GetUtf8());
  EXPECT_EQ(names, (std::vector<std::string>{"Hip", "Left", "LeftKnee", "Right", "Second"}));
  EXPECT_EQ(m.model.bones[0].tailIndex, 1);
  EXPECT_EQ(m.model.bones[3].parentIndex, 0);
  EXPECT_EQ(m.model.bones[4].parentIndex, -1);
  EXPECT_EQ(FrameBones(m, 0), std::vector<Int64>{0});  // only the first root
}

TEST_F(PmxConvert, BoneOptionTagsSetNamesFlagsAndAxes) {
  DocPtr doc;
  BaseObject* arm = AddJoint(doc.get(), "Arm", Vector(0, 0, 0));
  arm->SetRelRot(Vector(Rad(-90), 0, 0));
  AddJoint(doc.get(), "Hand", Vector(0, 0, 10), arm);
  BaseTag* tag = AddPluginTag(arm, ID_PMX_BONE_OPTION_TAG);
  BaseTag* second = AddPluginTag(arm, ID_PMX_BONE_OPTION_TAG);
  second->GetDataInstance()->SetString(PMX_BONE_NAME, String("ignored"));
  BaseContainer* bc = tag->GetDataInstance();
  bc->SetString(PMX_BONE_NAME_ENGLISH, String("arm"));
  bc->SetInt32(PMX_BONE_LAYER, 3);
  bc->SetInt32(PMX_BONE_MOVABLE, 5);  // any non-zero value is on
  bc->SetBool(PMX_BONE_ROTATABLE, false);
  bc->SetBool(PMX_BONE_FIXED_AXIS, true);
  bc->SetBool(PMX_BONE_LOCAL_AXIS, true);
  bc->SetBool(PMX_BONE_PHYSICS_AFTER_DEFORM, true);
  bc->SetBool(PMX_BONE_EXTERNAL_PARENT, true);
  bc->SetInt32(PMX_BONE_EXTERNAL_PARENT_KEY, 42);
  const PmxPolygonExchange& m = Build(doc.get());
  const PmxBone& b = m.model.bones[0];
  EXPECT_EQ(b.name, String("Arm"));  // empty name: the joint's own
  EXPECT_EQ(b.nameEnglish, String("arm"));
  EXPECT_EQ(b.layer, 3);
  EXPECT_EQ(b.movable, 1);
  EXPECT_EQ(b.rotatable, 0);
  EXPECT_EQ(b.physicsAfterDeform, 1);
  EXPECT_EQ(b.externalParent, 1);
  EXPECT_EQ(b.externalParentKey, 42);
  // The fixed axis points along the bone; the local axes are the joint's rotated axes.
  Matrix bone;
  Float length;
  static_cast<CAJointObject*>(arm)->GetBone(bone, length);
  const Vector dir = bone.v3 / bone.v3.GetLength();
  EXPECT_EQ(std::vector<Float>(b.fixedAxisDirection, b.fixedAxisDirection + 3),
            (std::vector<Float>{dir.x, dir.y, dir.z}));
  EXPECT_NEAR(b.fixedAxisDirection[0], 1.0, 1e-12);
  const Matrix r = HPBToMatrix(Vector(Rad(-90), 0, 0), ROTATIONORDER_HPB);
  EXPECT_EQ(std::vector<Float>(b.localAxisX, b.localAxisX + 3),
            (std::vector<Float>{r.v1.x, r.v1.y, r.v1.z}));
  EXPECT_EQ(std::vector<Float>(b.localAxisZ, b.localAxisZ + 3),
            (std::vector<Float>{r.v3.x, r.v3.y, r.v3.z}));

  bc->SetString(PMX_BONE_NAME, String("腕"));
  EXPECT_EQ(Build(doc.get()).model.bones[0].name, String("腕"));
}

// ---- Emission order ----

TEST_F(PmxConvert, TrianglesOfAMaterialFollowObjectOrder) {
  DocPtr doc;
  BaseMaterial* skin = AddMaterial(doc.get(), "Skin", Vector(1));
  AddTexture(AddQuad(doc.get(), "A"), skin);
  AddQuad(doc.get(), "Plain");
  AddTexture(AddQuad(doc.get(), "B"), skin);
  const PmxPolygonExchange& m = Build(doc.get());
  ASSERT_EQ(MaterialNames(m), (std::vector<std::string>{"デフォルト", "Skin", "Skin"}));
  EXPECT_EQ(m.model.materials[0].triangles[0].vertexIndex[0], 4);
  EXPECT_EQ(m.model.materials[1].triangles[0].vertexIndex[0], 0);
  EXPECT_EQ(m.model.materials[2].triangles[0].vertexIndex[0], 8);
}

TEST(PmxTextures, PathsUseTheFolderOrTheDocumentsFolder) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(TempPath("textures"));
  fs::create_directories(dir / "tex");
  std::ofstream(dir / "skin.png") << "png";
  std::ofstream(dir / "tex" / "hair.png") << "png";

  PmxExportSettings folder;
  folder.useTextureFolder = 1;
  folder.textureFolder = String("maps/");
  EXPECT_EQ(PmxTexturePath(String("missing.png"), folder), String("maps/missing.png"));

  PmxExportSettings resolve;
  resolve.documentPath = Filename(String(dir.string()));
  EXPECT_EQ(PmxTexturePath(String("skin.png"), resolve), String((dir / "skin.png").string()));
  EXPECT_EQ(PmxTexturePath(String("hair.png"), resolve),
            String((dir / "tex" / "hair.png").string()));
  // A texture the host cannot find is written as an empty text.
  EXPECT_EQ(PmxTexturePath(String("missing.png"), resolve), String());
}

}  // namespace
