// Morph objects in the export: which children become the base and the morphs, the two
// target checks, offsets for every base vertex, one morph per name, name order, and the
// file as mmd-parser reads it.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "pmx/pmxconvert.h"
#include "pmx/pmxsaver.h"
#include "pmxmorph/pmxmorph.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"

namespace {

struct SaverDeleter {
  void operator()(BaseSceneSaver* s) const { delete s; }
};

/// One export of a document through the host's save entry, read back by mmd-parser, and the
/// conversion of the evaluated document it came from, for a look at the object records.
struct Exported {
  std::unique_ptr<BaseSceneSaver, SaverDeleter> saver;
  std::string path;
  nlohmann::json pmx;
  std::vector<String> console;
  std::shared_ptr<PmxPolygonExchange> conversion = std::make_shared<PmxPolygonExchange>();

  const PmxPolygonExchange& Model() const { return *conversion; }
  const nlohmann::json& Morph(size_t i) const { return pmx["morphs"][i]; }
};

Exported Export(BaseDocument* doc) {
  EnsurePluginsRegistered();
  Exported e;
  e.saver.reset(host::AllocSceneSaver(ID_PMX_SAVER));
  // One PMX unit per centimetre, so that offsets read as document lengths.
  e.saver->GetDataInstance()->SetData(PMX_EXPORT_UNIT,
                                      GeData(UnitScaleData(1.0, DOCUMENT_UNIT::CM)));
  e.path = TempPath("morphs.pmx");
  host::ClearRecords();
  EXPECT_EQ(host::SaveDocument(e.saver.get(), doc, Filename(String(e.path))), FILEERROR_NONE);
  e.console = host::ConsoleLines();
  e.pmx = ParsePmxWithMmdParser(e.path);
  PmxConvertDocument(e.conversion.get(), doc,
                     PmxSaverData::ReadSettings(*e.saver->GetDataInstance(), doc));
  return e;
}

/// A grid of nx × ny points in the XY plane, (nx - 1) × (ny - 1) quadrangles.
PolygonObject* Grid(const char* name, Int32 nx, Int32 ny, const Vector& shift = Vector()) {
  PolygonObject* op = PolygonObject::Alloc(nx * ny, (nx - 1) * (ny - 1));
  op->SetName(String(name));
  Vector* p = op->GetPointW();
  for (Int32 y = 0; y < ny; ++y) {
    for (Int32 x = 0; x < nx; ++x) p[y * nx + x] = Vector(x, y, 0) + shift;
  }
  CPolygon* poly = op->GetPolygonW();
  for (Int32 y = 0; y + 1 < ny; ++y) {
    for (Int32 x = 0; x + 1 < nx; ++x) {
      const Int32 a = y * nx + x;
      poly[y * (nx - 1) + x] = CPolygon(a, a + 1, a + nx + 1, a + nx);
    }
  }
  return op;
}

/// A copy of `base` named `name` whose point `p` moved by `by` (all points when p < 0).
PolygonObject* Target(const PolygonObject* base, const char* name, const Vector& by, Int32 p = -1) {
  auto* t = static_cast<PolygonObject*>(base->GetClone(COPYFLAGS_0));
  t->SetName(String(name));
  for (Int32 i = 0; i < t->GetPointCount(); ++i) {
    if (p < 0 || i == p) t->GetPointW()[i] += by;
  }
  return t;
}

BaseObject* AddMorphObject(BaseDocument* doc, const char* name) {
  EnsurePluginsRegistered();
  BaseObject* op = BaseObject::Alloc(ID_PMXMORPHOBJECT);
  op->SetName(String(name));
  doc->InsertObjectLast(op, nullptr);
  return op;
}

struct DocDeleter {
  void operator()(BaseDocument* d) const { BaseDocument::Free(d); }
};
using Doc = std::unique_ptr<BaseDocument, DocDeleter>;

Int32 ConsoleCount(const std::vector<String>& lines, const char* text) {
  Int32 n = 0;
  for (const String& l : lines) n += l == String(text) ? 1 : 0;
  return n;
}

std::vector<float> Position(const nlohmann::json& element) {
  return element["position"].get<std::vector<float>>();
}

std::vector<float> F32(const Vector& v) {
  return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}

TEST(PmxMorphExportTargets, PointCountAndDuplicateNamesAreReportedAndSkipped) {
  Doc doc(BaseDocument::Alloc());
  BaseObject* morph = AddMorphObject(doc.get(), "Face");
  PolygonObject* base = Grid("顔", 10, 10);  // 100 points
  doc->InsertObjectLast(base, morph);
  doc->InsertObjectLast(Target(base, "あ", Vector(0, 1, 0)), morph);
  PolygonObject* short99 = PolygonObject::Alloc(99, 0);
  short99->SetName(String("い"));
  doc->InsertObjectLast(short99, morph);
  doc->InsertObjectLast(Target(base, "あ", Vector(0, 5, 0)), morph);

  Exported e = Export(doc.get());
  EXPECT_EQ(ConsoleCount(e.console,
                         "モーフターゲット[い]はベースオブジェクト[顔]と頂点数が異なります。\n"),
            1);
  EXPECT_EQ(
      ConsoleCount(e.console, "モーフターゲット[あ]は既に同名のターゲットが存在しています。\n"), 1);

  // The base is exported once, through the morph object; targets never as meshes.
  ASSERT_EQ(e.Model().objects.size(), 1u);
  EXPECT_EQ(e.Model().objects[0]->sourceObject, base);
  EXPECT_EQ(e.pmx["metadata"]["vertexCount"], 100);
  ASSERT_EQ(e.pmx["morphs"].size(), 1u);
  EXPECT_EQ(e.Morph(0)["name"], "あ");
  ASSERT_EQ(e.Morph(0)["elementCount"], 100);
  // The first of the two "あ" targets is the one kept.
  EXPECT_EQ(Position(e.Morph(0)["elements"][0]), F32(Vector(0, 1, 0)));
}

TEST(PmxMorphExportTargets, HiddenChildIsNeitherBaseNorTarget) {
  Doc doc(BaseDocument::Alloc());
  BaseObject* morph = AddMorphObject(doc.get(), "Face");
  PolygonObject* hidden = Grid("hidden", 2, 2);
  hidden->SetRenderMode(MODE_OFF);
  doc->InsertObjectLast(hidden, morph);
  PolygonObject* base = Grid("base", 3, 2);
  doc->InsertObjectLast(base, morph);
  PolygonObject* hiddenTarget = Target(base, "off", Vector(1, 0, 0));
  hiddenTarget->SetRenderMode(MODE_OFF);
  doc->InsertObjectLast(hiddenTarget, morph);
  doc->InsertObjectLast(Target(base, "same", Vector()), morph);

  Exported e = Export(doc.get());
  ASSERT_EQ(e.Model().objects.size(), 1u);
  EXPECT_EQ(e.Model().objects[0]->sourceObject, base);
  EXPECT_EQ(e.pmx["metadata"]["vertexCount"], 6);
  // A target equal to the base: a morph of zero offsets, one per base vertex.
  ASSERT_EQ(e.pmx["morphs"].size(), 1u);
  EXPECT_EQ(e.Morph(0)["name"], "same");
  ASSERT_EQ(e.Morph(0)["elementCount"], 6);
  for (const auto& el : e.Morph(0)["elements"]) EXPECT_EQ(Position(el), F32(Vector()));
}

TEST(PmxMorphExportMorphs, OneMorphPerNameAcrossMorphObjectsInNameOrder) {
  Doc doc(BaseDocument::Alloc());
  BaseObject* face = AddMorphObject(doc.get(), "Face");
  PolygonObject* faceBase = Grid("face", 3, 3);
  doc->InsertObjectLast(faceBase, face);
  doc->InsertObjectLast(Target(faceBase, "b", Vector(0, 0, 1)), face);
  doc->InsertObjectLast(Target(faceBase, "a", Vector(0, 2, 0)), face);
  BaseObject* brow = AddMorphObject(doc.get(), "Brow");
  PolygonObject* browBase = Grid("brow", 2, 2, Vector(0, 5, 0));
  doc->InsertObjectLast(browBase, brow);
  doc->InsertObjectLast(Target(browBase, "a", Vector(3, 0, 0)), brow);

  Exported e = Export(doc.get());
  ASSERT_EQ(e.pmx["metadata"]["vertexCount"], 9 + 4);
  // Created as b, a: written as a, b.
  ASSERT_EQ(e.pmx["morphs"].size(), 2u);
  EXPECT_EQ(e.Morph(0)["name"], "a");
  EXPECT_EQ(e.Morph(1)["name"], "b");
  for (size_t m = 0; m < 2; ++m) {
    EXPECT_EQ(e.Morph(m)["panel"], 4);
    EXPECT_EQ(e.Morph(m)["type"], 1);
  }
  // "a" holds both bases' vertices, face first (emission order), each vertex once.
  const auto& a = e.Morph(0)["elements"];
  ASSERT_EQ(a.size(), 13u);
  std::vector<int> seen(13, 0);
  for (size_t i = 0; i < a.size(); ++i) {
    const int index = a[i]["index"];
    ASSERT_GE(index, 0);
    ASSERT_LT(index, 13);
    ++seen[static_cast<size_t>(index)];
    EXPECT_EQ(Position(a[i]), F32(index < 9 ? Vector(0, 2, 0) : Vector(3, 0, 0))) << index;
    EXPECT_EQ(i < 9, index < 9);
  }
  EXPECT_EQ(seen, std::vector<int>(13, 1));
  EXPECT_EQ(e.Morph(1)["elementCount"], 9);
}

TEST(PmxMorphExportMorphs, OffsetsFollowTheBasePlacementNotTheTargets) {
  Doc doc(BaseDocument::Alloc());
  BaseObject* morph = AddMorphObject(doc.get(), "Face");
  // The morph object turns its children: offsets are turned with the base.
  morph->SetRelRot(Vector(Rad(-90.0), 0, 0));
  PolygonObject* base = Grid("base", 2, 2);
  doc->InsertObjectLast(base, morph);
  PolygonObject* inPlace = Target(base, "in place", Vector(1, 0, 0), 0);
  doc->InsertObjectLast(inPlace, morph);
  PolygonObject* moved = Target(base, "moved", Vector(1, 0, 0), 0);
  moved->SetRelPos(Vector(40, -3, 7));
  moved->SetRelRot(Vector(0, Rad(-30.0), 0));
  moved->SetRelScale(Vector(2, 2, 2));
  doc->InsertObjectLast(moved, morph);

  Exported e = Export(doc.get());
  ASSERT_EQ(e.pmx["morphs"].size(), 2u);
  const auto& inPlaceMorph = e.Morph(0);
  const auto& movedMorph = e.Morph(1);
  ASSERT_EQ(inPlaceMorph["name"], "in place");
  EXPECT_EQ(inPlaceMorph["elements"], movedMorph["elements"]);

  const Matrix m = base->GetMg();
  const Vector expected = m * Vector(1, 0, 0) - m * Vector(0, 0, 0);
  EXPECT_NEAR(expected.x, 0.0, 1e-12);  // heading -90° turns +x away from x
  EXPECT_NEAR(expected.GetLength(), 1.0, 1e-12);
  Int32 movedVertices = 0;
  for (const auto& el : movedMorph["elements"]) {
    const Int32 index = el["index"];
    const PmxObjectVertex& v = e.Model().objects[0]->GetVertex(index);
    const Vector d = v.pointIndex == 0 ? expected : Vector();
    EXPECT_EQ(Position(el), F32(d));
    movedVertices += v.pointIndex == 0 ? 1 : 0;
  }
  EXPECT_EQ(movedVertices, 1);
}

TEST(PmxMorphExportMorphs, SeamPointGivesEachOfItsVerticesTheOffset) {
  Doc doc(BaseDocument::Alloc());
  BaseObject* morph = AddMorphObject(doc.get(), "Face");
  PolygonObject* base = Grid("base", 3, 2);  // two quads sharing points 1 and 4
  // The quads' UVs do not meet: points 1 and 4 lie on a seam and split in two.
  UVWTag* uvw = UVWTag::Alloc(2);
  uvw->SetSlow(0,
               UVWStruct(Vector(0, 0, 0), Vector(0.4, 0, 0), Vector(0.4, 1, 0), Vector(0, 1, 0)));
  uvw->SetSlow(1,
               UVWStruct(Vector(0.6, 0, 0), Vector(1, 0, 0), Vector(1, 1, 0), Vector(0.6, 1, 0)));
  base->InsertTag(uvw);
  doc->InsertObjectLast(base, morph);
  doc->InsertObjectLast(Target(base, "seam", Vector(0, 0, 2), 1), morph);

  Exported e = Export(doc.get());
  ASSERT_EQ(e.pmx["metadata"]["vertexCount"], 8);
  ASSERT_EQ(e.pmx["morphs"].size(), 1u);
  const auto& elements = e.Morph(0)["elements"];
  ASSERT_EQ(elements.size(), 8u);
  std::vector<Int32> moved;
  for (const auto& el : elements) {
    if (Position(el) == F32(Vector(0, 0, 2))) {
      moved.push_back(el["index"]);
    } else {
      EXPECT_EQ(Position(el), F32(Vector()));
    }
  }
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_NE(moved[0], moved[1]);
  for (Int32 index : moved) EXPECT_EQ(e.Model().objects[0]->GetVertex(index).pointIndex, 1);
}

TEST(PmxMorphExportFile, FaceWithSeveralExpressionsReadsBackThroughMmdParser) {
  Doc doc(BaseDocument::Alloc());
  // A plain mesh before the face: the face's vertex indices start after it.
  doc->InsertObjectLast(Grid("body", 2, 2, Vector(0, -3, 0)), nullptr);
  BaseObject* morph = AddMorphObject(doc.get(), "Face");
  PolygonObject* face = Grid("face", 4, 3);
  doc->InsertObjectLast(face, morph);
  doc->InsertObjectLast(Target(face, "まばたき", Vector(0, -0.5, 0), 9), morph);
  doc->InsertObjectLast(Target(face, "あ", Vector(0, -1, 0.25), 1), morph);
  doc->InsertObjectLast(Target(face, "笑い", Vector(0, 0.125, 0)), morph);
  doc->InsertObjectLast(BaseObject::Alloc(Onull), morph);           // not a shape: passed over
  morph->SetParameter(DescID(PmxMorphStrengthId(2)), GeData(1.0));  // the export ignores it

  Exported e = Export(doc.get());
  EXPECT_EQ(e.pmx["metadata"]["vertexCount"], 4 + 12);
  EXPECT_EQ(e.pmx["metadata"]["morphCount"], 3);
  // Names in the host's string order (UTF-16 code units): あ, まばたき, 笑い.
  const std::vector<std::string> names = {"あ", "まばたき", "笑い"};
  const std::vector<Vector> moves = {Vector(0, -1, 0.25), Vector(0, -0.5, 0), Vector(0, 0.125, 0)};
  const std::vector<Int32> movedPoint = {1, 9, -1};
  for (size_t m = 0; m < names.size(); ++m) {
    const auto& morphJson = e.Morph(m);
    EXPECT_EQ(morphJson["name"], names[m]);
    EXPECT_EQ(morphJson["englishName"], "");
    EXPECT_EQ(morphJson["panel"], 4);
    EXPECT_EQ(morphJson["type"], 1);
    ASSERT_EQ(morphJson["elementCount"], 12);
    std::vector<int> seen(16, 0);
    for (const auto& el : morphJson["elements"]) {
      const Int32 index = el["index"];
      ASSERT_GE(index, 4);
      ASSERT_LT(index, 16);
      ++seen[static_cast<size_t>(index)];
      const Int64 point = e.Model().objects[1]->GetVertex(index - 4).pointIndex;
      const Bool moves_here = movedPoint[m] < 0 || point == movedPoint[m];
      EXPECT_EQ(Position(el), F32(moves_here ? moves[m] : Vector())) << names[m] << " " << point;
    }
    for (size_t v = 4; v < 16; ++v) EXPECT_EQ(seen[v], 1) << names[m] << " vertex " << v;
  }
}

TEST(PmxMorphExportFile, MoreThanAThousandTargetsBecomeMorphs) {
  Doc doc(BaseDocument::Alloc());
  BaseObject* morph = AddMorphObject(doc.get(), "Face");
  PolygonObject* base = Grid("base", 2, 2);
  doc->InsertObjectLast(base, morph);
  constexpr Int32 kTargets = 1100;
  for (Int32 k = 0; k < kTargets; ++k) {
    std::string name = std::to_string(k);
    name = "m" + std::string(4 - name.size(), '0') + name;
    doc->InsertObjectLast(Target(base, name.c_str(), Vector(0, 0, k), 2), morph);
  }

  Exported e = Export(doc.get());
  ASSERT_EQ(e.Model().objects.size(), 1u);  // every target was claimed by the morph object
  EXPECT_EQ(morph->GetDataInstance()->GetInt32(PMXMORPH_COUNT), kTargets + 1);
  EXPECT_EQ(e.pmx["metadata"]["morphIndexSize"], 2);
  ASSERT_EQ(e.pmx["morphs"].size(), static_cast<size_t>(kTargets));
  const auto& last = e.Morph(kTargets - 1);
  EXPECT_EQ(last["name"], "m1099");
  for (const auto& el : last["elements"]) {
    const Int64 point = e.Model().objects[0]->GetVertex(el["index"]).pointIndex;
    EXPECT_EQ(Position(el), F32(point == 2 ? Vector(0, 0, 1099) : Vector()));
  }
}

}  // namespace
