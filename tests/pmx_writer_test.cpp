// The PMX writer on hand-built models: header, index sizes, texts and every section, checked
// byte for byte, through a small reader of our own and through mmd-parser.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "c4d.h"
#include "c4d_host.h"
#include "pmx/pmxwriter.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"
#include "support/pmx_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

/// Writes `model` and answers the file's path.
std::string WriteModel(const PmxModel& model) {
  const std::string path = TempPath("model.pmx");
  BaseFile f;
  EXPECT_TRUE(f.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE, BYTEORDER_INTEL));
  PmxWriteModel(&f, model);
  EXPECT_TRUE(f.Close());
  return path;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

Bytes F32(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
          static_cast<uint8_t>(u >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

/// A model of `vertexCount` BDEF1 vertices, `boneCount` bones and one material holding the
/// triangle `tri`.
void FillModel(PmxModel* m, Int64 vertexCount, Int64 boneCount, std::array<Int32, 3> tri) {
  m->vertices.resize(static_cast<size_t>(vertexCount));
  for (Int64 i = 0; i < boneCount; ++i) {
    PmxBone& b = m->bones.emplace_back();
    b.name = String("b") + String::IntToString(i);
    b.parentIndex = i - 1;
  }
  m->materials.emplace_back().triangles.push_back(PmxTriangle{{tri[0], tri[1], tri[2]}});
}

// Header layout: magic (4), version (4), globals count (1), eight globals.
constexpr size_t kGlobals = 9;

TEST(PmxIndexSizes, FollowTheCountNotTheLargestIndex) {
  EXPECT_EQ(PmxVertexIndexSize(0), 1);
  EXPECT_EQ(PmxVertexIndexSize(255), 1);
  EXPECT_EQ(PmxVertexIndexSize(256), 2);
  EXPECT_EQ(PmxVertexIndexSize(65535), 2);
  EXPECT_EQ(PmxVertexIndexSize(65536), 4);
  EXPECT_EQ(PmxSignedIndexSize(127), 1);
  EXPECT_EQ(PmxSignedIndexSize(128), 2);
  EXPECT_EQ(PmxSignedIndexSize(32767), 2);
  EXPECT_EQ(PmxSignedIndexSize(32768), 4);
}

TEST(PmxWriter, VertexIndicesSwitchWidthAt256And65536) {
  struct Case {
    Int64 vertices;
    uint8_t size;
    std::array<Int32, 3> tri;
  };
  for (const Case& c : {Case{255, 1, {0, 254, 200}}, Case{256, 2, {0, 255, 200}},
                        Case{65535, 2, {0, 65534, 40000}}, Case{65536, 4, {0, 65535, 40000}}}) {
    SCOPED_TRACE(c.vertices);
    PmxModel m;
    FillModel(&m, c.vertices, 1, c.tri);
    const std::string path = WriteModel(m);
    const Bytes b = pmxtest::ReadBytes(path);
    EXPECT_EQ(b[kGlobals + 2], c.size);
    const pmxtest::File f = pmxtest::ReadPmx(path);
    ASSERT_EQ(f.faces.size(), 3u);
    // Indices past the signed range of the width stay positive: vertex indices are unsigned.
    EXPECT_EQ(f.faces[1], static_cast<uint32_t>(c.tri[1]));
    EXPECT_EQ(f.faces[2], static_cast<uint32_t>(c.tri[2]));
    const auto j = ParsePmxWithMmdParser(path);
    EXPECT_EQ(j["metadata"]["vertexIndexSize"], c.size);
    EXPECT_EQ(j["faces"][0]["indices"][1], c.tri[1]);
  }
}

TEST(PmxWriter, BoneIndicesSwitchWidthAt128) {
  for (Int64 bones : {127, 128}) {
    SCOPED_TRACE(bones);
    PmxModel m;
    FillModel(&m, 3, bones, {0, 1, 2});
    m.vertices[0].boneIndex[0] = bones - 1;
    const std::string path = WriteModel(m);
    const Bytes b = pmxtest::ReadBytes(path);
    const uint8_t size = bones == 127 ? 1 : 2;
    EXPECT_EQ(b[kGlobals + 5], size);
    const pmxtest::File f = pmxtest::ReadPmx(path);
    EXPECT_EQ(f.bones[0].parent, -1);  // -1 as 0xFF or 0xFFFF
    EXPECT_EQ(f.bones.back().parent, bones - 2);
    EXPECT_EQ(f.vertices[0].bone[0], bones - 1);
    const auto j = ParsePmxWithMmdParser(path);
    EXPECT_EQ(j["metadata"]["boneIndexSize"], size);
    EXPECT_EQ(j["bones"][0]["parentIndex"], -1);
    EXPECT_EQ(j["metadata"]["boneCount"], bones);
  }
}

TEST(PmxWriter, TextsAreLengthPrefixedUtf16WithoutTerminator) {
  PmxModel m;
  m.name = String();               // empty: the length 0 alone
  m.nameEnglish = String("表情");  // U+8868 U+60C5
  m.comment = String(
      "\xF0\xA0\xAE\xB7"
      "a");  // U+20BB7 as a surrogate pair, then 'a'
  m.commentEnglish = String("abc");
  const std::string path = WriteModel(m);
  const Bytes b = pmxtest::ReadBytes(path);
  const Bytes expected = {0x00, 0x00, 0x00, 0x00,                                      //
                          0x04, 0x00, 0x00, 0x00, 0x68, 0x88, 0xC5, 0x60,              //
                          0x06, 0x00, 0x00, 0x00, 0x42, 0xD8, 0xB7, 0xDF, 0x61, 0x00,  //
                          0x06, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00};
  EXPECT_EQ(Slice(b, kGlobals + 8, expected.size()), expected);
  const auto j = ParsePmxWithMmdParser(path);
  EXPECT_EQ(j["metadata"]["modelName"], "");
  EXPECT_EQ(j["metadata"]["englishModelName"], "表情");
  EXPECT_EQ(j["metadata"]["comment"],
            "\xF0\xA0\xAE\xB7"
            "a");
}

TEST(PmxWriter, HeaderOfAnEmptyModel) {
  PmxModel m;
  const std::string path = WriteModel(m);
  const Bytes b = pmxtest::ReadBytes(path);
  const Bytes header = {'P', 'M', 'X', ' ', 0x00, 0x00, 0x00, 0x40, 8, 0, 0, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(Slice(b, 0, header.size()), header);
  // Four empty texts, seven empty sections, no rigid bodies, no joints.
  EXPECT_EQ(b.size(), header.size() + 4 * 4 + 7 * 4 + 2 * 4);
  const auto j = ParsePmxWithMmdParser(path);
  EXPECT_EQ(j["metadata"]["version"], 2.0);
  EXPECT_EQ(j["metadata"]["encoding"], 0);
  EXPECT_EQ(j["metadata"]["additionalUvNum"], 0);
}

// SDEF parameters live beside the vertex list; an SDEF vertex past its end writes zeros.
TEST(PmxWriter, SdefVerticesCarryTheirCentreAndControlPoints) {
  PmxModel m;
  FillModel(&m, 3, 2, {0, 1, 2});
  for (PmxVertex& v : m.vertices) {
    v.deformType = PMX_DEFORM_SDEF;
    v.boneIndex[1] = 1;
    v.boneWeight[0] = 0.25;
  }
  m.sdef = {PmxSdefParams{Vector(1, 2, 3), Vector(-1, 0, 0.5), Vector(0, 4, 0)},
            PmxSdefParams{Vector(7, 8, 9), Vector(), Vector(0.5, 0.5, 0.5)}};
  const auto j = ParsePmxWithMmdParser(WriteModel(m));
  const auto& vertices = j["vertices"];
  ASSERT_EQ(vertices.size(), 3u);
  EXPECT_EQ(vertices[0]["skinC"], (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(vertices[0]["skinR0"], (std::vector<double>{-1, 0, 0.5}));
  EXPECT_EQ(vertices[1]["skinR1"], (std::vector<double>{0.5, 0.5, 0.5}));
  EXPECT_EQ(vertices[2]["skinC"], (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(vertices[2]["skinIndices"], (std::vector<int>{0, 1}));
  EXPECT_EQ(vertices[2]["skinWeights"], (std::vector<double>{0.25, 0.75}));

  m.sdef[1].r0 = Vector(1e39, 0, 0);  // beyond single precision: refused, naming the vertex
  EXPECT_NE(PmxFindUnwritableValue(m).GetUtf8().find("頂点1"), std::string::npos);
}

/// A model that uses every part of every section this system writes.
void FillRichModel(PmxModel* m) {
  PmxVertex v0;  // BDEF1
  v0.position[0] = 0.1;
  v0.position[1] = -2.5;
  v0.position[2] = 1e-3;
  v0.normal[0] = 0;
  v0.normal[1] = 1;
  v0.normal[2] = 0;
  v0.uv[0] = 0.25f;
  v0.uv[1] = 0.75f;
  v0.deformType = PMX_DEFORM_BDEF1;
  v0.boneIndex[0] = 1;
  v0.boneWeight[0] = 1.0;
  PmxVertex v1 = v0;  // BDEF2
  v1.deformType = PMX_DEFORM_BDEF2;
  v1.boneIndex[0] = 0;
  v1.boneIndex[1] = 1;
  v1.boneWeight[0] = 0.25;
  v1.boneWeight[1] = 0.75;
  PmxVertex v2 = v0;  // BDEF4
  v2.deformType = PMX_DEFORM_BDEF4;
  for (int k = 0; k < 4; ++k) {
    v2.boneIndex[k] = k % 2;
    v2.boneWeight[k] = 0.1 * (k + 1);
  }
  v2.edgeScale = 0.5;
  m->vertices = {v0, v1, v2};

  m->textures = {String("tex\\a.png"), String("tex\\顔.png")};
  PmxMaterial& a = m->materials.emplace_back();
  a.name = String("肌");
  a.nameEnglish = String("skin");
  a.diffuse[0] = 0.8;
  a.diffuse[3] = 0.5;
  a.specular[1] = 0.3;
  a.specularPower = 5;
  a.ambient[2] = 0.2;
  a.doubleSided = 1;
  a.groundShadow = 0;
  a.selfShadowMap = 1;
  a.selfShadow = 0;
  a.drawEdge = 1;
  a.edgeColor[0] = 1;
  a.edgeSize = 2;
  a.textureIndex = 1;
  a.memo = String("メモ");
  a.triangles = {PmxTriangle{{0, 1, 2}}, PmxTriangle{{2, 1, 0}}};
  PmxMaterial& b = m->materials.emplace_back();
  b.name = String("b");
  b.sharedToon = 0;  // toon given as a texture index
  b.toonIndex = 0;
  b.triangles = {PmxTriangle{{1, 2, 0}}};

  m->bones.resize(2);
  PmxBone& root = m->bones[0];
  root.name = String("root");
  root.position[1] = 10;
  root.tailIsBone = 1;
  root.tailIndex = 1;
  root.fixedAxis = 1;
  root.fixedAxisDirection[0] = 0;
  root.fixedAxisDirection[1] = 0;
  root.fixedAxisDirection[2] = 1;
  PmxBone& end = m->bones[1];
  end.name = String("end");
  end.nameEnglish = String("End");
  end.parentIndex = 0;
  end.layer = 2;
  end.movable = 1;
  end.visible = 0;
  end.localAxis = 1;
  end.localAxisX[0] = 0.6;
  end.localAxisX[1] = 0.8;
  end.localAxisZ[2] = -1;
  end.physicsAfterDeform = 1;
  end.externalParent = 1;
  end.externalParentKey = 7;

  for (const char* name : {"a", "b"}) {
    PmxMorph& morph = m->morphs.emplace_back();
    morph.name = String(name);
    morph.offsets.push_back(PmxMorphOffset{name[0] == 'a' ? 2 : 0, {0.5, 0, -0.5}});
  }

  PmxDisplayFrame& rootFrame = m->AddToDisplayFrame(String("Root"), 0);
  rootFrame.nameEnglish = String("Root");
  rootFrame.special = 1;
  m->AddToDisplayFrame(String("ボーン"), 1);
  m->AddToDisplayFrame(String("ボーン"), -1);
}

TEST(PmxWriter, EverySectionRoundTrips) {
  PmxModel m;
  FillRichModel(&m);
  const std::string path = WriteModel(m);
  const pmxtest::File f = pmxtest::ReadPmx(path);

  ASSERT_EQ(f.vertices.size(), 3u);
  EXPECT_EQ(f.vertices[0].position[0], 0.1f);
  EXPECT_EQ(f.vertices[0].position[2], 1e-3f);
  EXPECT_EQ(f.vertices[0].deformType, 0);
  EXPECT_EQ(f.vertices[0].bone[0], 1);
  EXPECT_EQ(f.vertices[1].deformType, 1);
  EXPECT_EQ(f.vertices[1].bone[1], 1);
  EXPECT_EQ(f.vertices[1].weight[0], 0.25f);
  EXPECT_EQ(f.vertices[2].deformType, 2);
  EXPECT_EQ(f.vertices[2].weight[3], 0.4f);
  EXPECT_EQ(f.vertices[2].bone[3], 1);
  EXPECT_EQ(f.vertices[2].edgeScale, 0.5f);

  // Faces material by material; each material counts its own.
  EXPECT_EQ(f.faces, (std::vector<uint32_t>{0, 1, 2, 2, 1, 0, 1, 2, 0}));
  ASSERT_EQ(f.materials.size(), 2u);
  EXPECT_EQ(f.materials[0].faceCount, 6);
  EXPECT_EQ(f.materials[1].faceCount, 3);

  EXPECT_EQ(f.textures, (std::vector<std::u16string>{u"tex\\a.png", u"tex\\顔.png"}));
  const pmxtest::Material& a = f.materials[0];
  EXPECT_EQ(a.name, u"肌");
  EXPECT_EQ(a.nameEnglish, u"skin");
  EXPECT_EQ(a.diffuse[0], 0.8f);
  EXPECT_EQ(a.diffuse[3], 0.5f);
  EXPECT_EQ(a.specular[1], 0.3f);
  EXPECT_EQ(a.specularPower, 5.0f);
  EXPECT_EQ(a.ambient[2], 0.2f);
  EXPECT_EQ(a.flags, 0x01 | 0x04 | 0x10);
  EXPECT_EQ(a.edgeColor[0], 1.0f);
  EXPECT_EQ(a.edgeColor[3], 1.0f);
  EXPECT_EQ(a.edgeSize, 2.0f);
  EXPECT_EQ(a.texture, 1);
  EXPECT_EQ(a.sphereTexture, -1);
  EXPECT_EQ(a.sharedToon, 1);
  EXPECT_EQ(a.toon, 0);
  EXPECT_EQ(a.memo, u"メモ");
  EXPECT_EQ(f.materials[1].sharedToon, 0);
  EXPECT_EQ(f.materials[1].toon, 0);

  ASSERT_EQ(f.bones.size(), 2u);
  EXPECT_EQ(f.bones[0].flags, 0x0001 | 0x0002 | 0x0008 | 0x0010 | 0x0400);
  EXPECT_EQ(f.bones[0].tailIndex, 1);
  EXPECT_EQ(f.bones[0].fixedAxis[2], 1.0f);
  EXPECT_EQ(f.bones[0].position[1], 10.0f);
  EXPECT_EQ(f.bones[1].flags, 0x0002 | 0x0004 | 0x0010 | 0x0800 | 0x1000 | 0x2000);
  EXPECT_EQ(f.bones[1].parent, 0);
  EXPECT_EQ(f.bones[1].layer, 2);
  EXPECT_EQ(f.bones[1].tailOffset[1], 1.0f);
  EXPECT_EQ(f.bones[1].localX[1], 0.8f);
  EXPECT_EQ(f.bones[1].localZ[2], -1.0f);
  EXPECT_EQ(f.bones[1].externalKey, 7);

  ASSERT_EQ(f.morphs.size(), 2u);
  EXPECT_EQ(f.morphs[0].name, u"a");
  EXPECT_EQ(f.morphs[0].panel, 4);
  EXPECT_EQ(f.morphs[0].kind, 1);
  EXPECT_EQ(f.morphs[0].offsets[0].vertex, 2);
  EXPECT_EQ(f.morphs[1].name, u"b");
  EXPECT_EQ(f.morphs[1].offsets[0].offset[2], -0.5f);

  ASSERT_EQ(f.frames.size(), 2u);
  EXPECT_EQ(f.frames[0].special, 1);
  EXPECT_EQ(f.frames[0].bones, std::vector<int>{0});
  EXPECT_EQ(f.frames[1].special, 0);
  EXPECT_EQ(f.frames[1].bones, (std::vector<int>{1, -1}));  // -1: no bone
  EXPECT_EQ(f.rigidBodies, 0);
  EXPECT_EQ(f.joints, 0);

  const auto j = ParsePmxWithMmdParser(path);
  EXPECT_EQ(j["metadata"]["vertexCount"], 3);
  EXPECT_EQ(j["metadata"]["faceCount"], 3);
  EXPECT_EQ(j["materials"][0]["faceCount"], 2);
  EXPECT_EQ(j["materials"][1]["toonFlag"], 0);
  EXPECT_EQ(j["textures"][1], "tex\\顔.png");
  EXPECT_EQ(j["bones"][1]["key"], 7);
  EXPECT_EQ(j["morphs"][0]["name"], "a");
  EXPECT_EQ(j["frames"][1]["elements"][1]["index"], -1);
  EXPECT_EQ(j["vertices"][2]["edgeRatio"], 0.5);
}

TEST(PmxWriter, VertexRecordBytes) {
  PmxModel m;
  FillRichModel(&m);
  const std::string path = WriteModel(m);
  const Bytes b = pmxtest::ReadBytes(path);
  // After the header (17 bytes and four empty texts) comes the vertex count.
  const size_t start = kGlobals + 8 + 16 + 4;
  const size_t bdef1 = 8 * 4 + 1 + 1 + 4;
  const Bytes bdef2 = Cat({F32(0.1f),
                           F32(-2.5f),
                           F32(1e-3f),
                           F32(0),
                           F32(1),
                           F32(0),
                           F32(0.25f),
                           F32(0.75f),
                           {1, 0, 1},
                           F32(0.25f),
                           F32(1)});
  EXPECT_EQ(Slice(b, start + bdef1, bdef2.size()), bdef2);
  ParsePmxWithMmdParser(path);
}

TEST(PmxWriter, OneTriangleCountsThreeInFacesAndInItsMaterial) {
  PmxModel m;
  FillModel(&m, 3, 1, {0, 1, 2});
  const std::string path = WriteModel(m);
  const Bytes b = pmxtest::ReadBytes(path);
  // Faces start after the header and three 46-byte BDEF1 vertices.
  const size_t faces = kGlobals + 8 + 16 + 4 + 3 * (8 * 4 + 2 + 4);
  EXPECT_EQ(Slice(b, faces, 7), (Bytes{3, 0, 0, 0, 0, 1, 2}));
  const pmxtest::File f = pmxtest::ReadPmx(path);
  EXPECT_EQ(f.materials[0].faceCount, 3);
  const auto j = ParsePmxWithMmdParser(path);
  EXPECT_EQ(j["metadata"]["faceCount"], 1);
  EXPECT_EQ(j["materials"][0]["faceCount"], 1);
}

TEST(PmxWriter, WriteFailuresStayInTheFilesErrorState) {
  PmxModel m;
  FillRichModel(&m);
  const std::string path = TempPath("failing.pmx");
  BaseFile f;
  ASSERT_TRUE(f.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE, BYTEORDER_INTEL));
  host::SetWriteFailureAfter(10);
  PmxWriteModel(&f, m);
  EXPECT_FALSE(f.Close());
  host::SetWriteFailureAfter(-1);
  EXPECT_EQ(f.GetError(), FILEERROR_WRITE);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
