// The export driver: the saver's settings and defaults, console lines and cursor, the
// hierarchy walk, the empty document byte for byte, and failures that must not look like
// success or destroy a good file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

#include "c4d.h"
#include "c4d_host.h"
#include "pmx/pmxconvert.h"
#include "pmx/pmxsaver.h"
#include "support/mmd_parser.h"
#include "support/plugin_env.h"
#include "support/pmx_reader.h"
#include "support/pmx_scene.h"

// Allocation fault injection for the exception tests: when armed, the n-th allocation from
// now on throws std::bad_alloc once.
namespace {
std::atomic<long> gThrowAtAllocation{-1};
}  // namespace

void* operator new(std::size_t n) {
  if (gThrowAtAllocation.load(std::memory_order_relaxed) >= 0 &&
      gThrowAtAllocation.fetch_sub(1) == 0) {
    gThrowAtAllocation = -1;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// GCC pairs the inlined free with the built-in new when optimising and warns; both are the
// replacements above, so the pair matches.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// Every other form is replaced too, so that no allocation in the process pairs a sanitizer's
// operator new with this free (or the other way round).
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
  return ::operator new(n, t);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using pmxtest::AddJoint;
using pmxtest::AddMesh;
using pmxtest::AddNull;
using pmxtest::AddQuad;
using pmxtest::DocPtr;
using pmxtest::SaverPtr;
namespace fs = std::filesystem;

class PmxExport : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
  }
  void TearDown() override {
    host::SetWriteFailureAfter(-1);
    gThrowAtAllocation = -1;
  }
  static std::vector<std::string> Console() {
    std::vector<std::string> lines;
    for (const String& s : host::ConsoleLines()) lines.push_back(s.GetUtf8());
    return lines;
  }
  static std::string Done(const std::string& path) {
    return std::string(kPmxExportDoneText) + path + "\n";
  }
  static std::string Failed(const std::string& path) {
    return std::string(kPmxExportFailedText) + path + "\n";
  }
};

std::vector<std::string> ObjectNames(const PmxPolygonExchange& model) {
  std::vector<std::string> names;
  for (const auto& o : model.objects) names.push_back(o->name.GetUtf8());
  return names;
}

std::vector<std::string> Walk(BaseDocument* doc, PmxPolygonExchange* model) {
  PmxWalkHierarchy(model, doc->GetFirstObject(), 1, nullptr, Matrix());
  return ObjectNames(*model);
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The bytes of an export of an empty document, derived by hand from the file layout.
const std::vector<uint8_t> kEmptyDocument = {
    // magic, version 2.0, 8 globals: UTF-16, no extra UV, every index size 1
    0x50, 0x4D, 0x58, 0x20, 0x00, 0x00, 0x00, 0x40, 0x08, 0x00, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01,
    0x01,
    // "モデル名"
    0x08, 0x00, 0x00, 0x00, 0xE2, 0x30, 0xC7, 0x30, 0xEB, 0x30, 0x0D, 0x54,
    // "Model name"
    0x14, 0x00, 0x00, 0x00, 0x4D, 0x00, 0x6F, 0x00, 0x64, 0x00, 0x65, 0x00, 0x6C, 0x00, 0x20, 0x00,
    0x6E, 0x00, 0x61, 0x00, 0x6D, 0x00, 0x65, 0x00,
    // "コメント"
    0x08, 0x00, 0x00, 0x00, 0xB3, 0x30, 0xE1, 0x30, 0xF3, 0x30, 0xC8, 0x30,
    // "comment"
    0x0E, 0x00, 0x00, 0x00, 0x63, 0x00, 0x6F, 0x00, 0x6D, 0x00, 0x6D, 0x00, 0x65, 0x00, 0x6E, 0x00,
    0x74, 0x00,
    // no vertices, faces, textures, materials (the unused default material is dropped)
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // one bone: "センター" / "Center"
    0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0xBB, 0x30, 0xF3, 0x30, 0xBF, 0x30, 0xFC, 0x30,
    0x0C, 0x00, 0x00, 0x00, 0x43, 0x00, 0x65, 0x00, 0x6E, 0x00, 0x74, 0x00, 0x65, 0x00, 0x72, 0x00,
    // at the origin, no parent (-1), layer 0
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,
    0x00,
    // rotatable, movable, visible, operable; tail offset (0, -8, 0)
    0x1E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x00,
    // no morphs
    0x00, 0x00, 0x00, 0x00,
    // three display frames
    0x03, 0x00, 0x00, 0x00,
    // "Root" / "Root", special, one element: bone 0
    0x08, 0x00, 0x00, 0x00, 0x52, 0x00, 0x6F, 0x00, 0x6F, 0x00, 0x74, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x52, 0x00, 0x6F, 0x00, 0x6F, 0x00, 0x74, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    // "表情" / "Exp", special, empty
    0x04, 0x00, 0x00, 0x00, 0x68, 0x88, 0xC5, 0x60, 0x06, 0x00, 0x00, 0x00, 0x45, 0x00, 0x78, 0x00,
    0x70, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
    // "ボーン" / "", not special, one element: bone 0
    0x06, 0x00, 0x00, 0x00, 0xDC, 0x30, 0xFC, 0x30, 0xF3, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00,
    // no rigid bodies, no joints
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST_F(PmxExport, EmptyDocumentMatchesTheHandDerivedFile) {
  DocPtr doc;
  const std::string path = TempPath("empty.pmx");
  EXPECT_EQ(pmxtest::ExportDocument(doc.get(), path), FILEERROR_NONE);
  EXPECT_EQ(pmxtest::ReadBytes(path), kEmptyDocument);
  EXPECT_EQ(Console(), (std::vector<std::string>{"PMX出力を開始...\n", Done(path)}));
  EXPECT_EQ(host::GetRecords().mouse, (std::vector<Int32>{MOUSE_BUSY, MOUSE_NORMAL}));
  const auto j = ParsePmxWithMmdParser(path);
  EXPECT_EQ(j["metadata"]["boneCount"], 1);
  EXPECT_EQ(j["metadata"]["frameCount"], 3);
  EXPECT_EQ(j["bones"][0]["name"], "センター");
}

TEST_F(PmxExport, WithoutTheObjectsFilterNothingHappens) {
  DocPtr doc;
  AddQuad(doc.get(), "Quad");
  SaverPtr saver;
  const std::string path = TempPath("none.pmx");
  EXPECT_EQ(host::SaveDocument(saver.node.get(), doc.get(), Filename(String(path)),
                               SCENEFILTER_MATERIALS),
            FILEERROR_NONE);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(Console().empty());
  EXPECT_TRUE(host::GetRecords().mouse.empty());
}

TEST_F(PmxExport, SaverDefaultsAreTheDocumentedOnes) {
  SaverPtr saver;
  const BaseContainer* bc = saver.data();
  const UnitScaleData* unit = static_cast<const UnitScaleData*>(
      bc->GetCustomDataType(PMX_EXPORT_UNIT, CUSTOMDATATYPE_UNITSCALE));
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(*unit, UnitScaleData(8.0, DOCUMENT_UNIT::CM));
  EXPECT_FALSE(bc->GetBool(PMX_EXPORT_USE_TEXTURE_FOLDER, true));
  EXPECT_EQ(bc->GetString(PMX_EXPORT_TEXTURE_FOLDER), String());
  EXPECT_FALSE(bc->GetBool(PMX_EXPORT_MATERIAL_NAME_WITH_OBJECT, true));
  EXPECT_FALSE(bc->GetBool(PMX_EXPORT_LIMIT_DEFORM, true));
}

TEST_F(PmxExport, ScaleTurnsDocumentUnitsIntoExportUnits) {
  DocPtr doc;
  BaseContainer bc;
  // Nothing stored: 1 cm in the document is 1/8 of a PMX unit.
  EXPECT_DOUBLE_EQ(PmxSaverData::ReadSettings(bc, doc.get()).scale, 0.125);
  doc->GetDataInstance()->SetData(DOCUMENT_DOCUNIT, GeData(UnitScaleData(1.0, DOCUMENT_UNIT::M)));
  bc.SetData(PMX_EXPORT_UNIT, GeData(UnitScaleData(10.0, DOCUMENT_UNIT::CM)));
  EXPECT_DOUBLE_EQ(PmxSaverData::ReadSettings(bc, doc.get()).scale, 10.0);
}

TEST_F(PmxExport, TextureFolderGetsOneTrailingSeparator) {
  DocPtr doc;
  auto folder = [&](bool use, const char* text) {
    BaseContainer bc;
    bc.SetBool(PMX_EXPORT_USE_TEXTURE_FOLDER, use);
    bc.SetString(PMX_EXPORT_TEXTURE_FOLDER, String(text));
    return PmxSaverData::ReadSettings(bc, doc.get()).textureFolder.GetUtf8();
  };
  EXPECT_EQ(folder(true, "tex"), "tex\\");
  EXPECT_EQ(folder(true, "tex/"), "tex/");
  EXPECT_EQ(folder(true, "tex\\"), "tex\\");
  EXPECT_EQ(folder(true, "a\\b/"), "a\\b/");
  EXPECT_EQ(folder(true, ""), "");
  EXPECT_EQ(folder(false, "tex"), "tex");
}

TEST_F(PmxExport, ExportsTheDocumentItIsHandedWithItsTexturePaths) {
  const fs::path dirA = TempPath("docA"), dirB = TempPath("docB");
  fs::create_directories(dirA);
  fs::create_directories(dirB);
  std::ofstream(dirA / "skin.png") << "a";
  std::ofstream(dirB / "skin.png") << "b";
  DocPtr active, handed;
  active->SetDocumentPath(Filename(String(dirA.string())));
  handed->SetDocumentPath(Filename(String(dirB.string())));
  AddQuad(active.get(), "InTheActiveDocument");
  PolygonObject* quad = AddQuad(handed.get(), "InTheHandedDocument");
  pmxtest::AddTexture(quad, pmxtest::AddMaterial(handed.get(), "Skin", Vector(1), "skin.png"));
  SetActiveDocument(active.get());

  SaverPtr saver;
  const std::string path = TempPath("handed.pmx");
  EXPECT_EQ(pmxtest::ExportDocument(handed.get(), path, saver.node.get()), FILEERROR_NONE);
  SetActiveDocument(nullptr);
  const auto j = ParsePmxWithMmdParser(path);
  ASSERT_EQ(j["materials"].size(), 1u);
  EXPECT_EQ(j["materials"][0]["name"], "Skin");
  EXPECT_EQ(j["textures"][0], (dirB / "skin.png").string());
}

TEST_F(PmxExport, ExportsTheActiveDocumentWhenHandedNone) {
  DocPtr active;
  AddQuad(active.get(), "Active");
  SetActiveDocument(active.get());
  SaverPtr saver;
  const std::string path = TempPath("active.pmx");
  EXPECT_EQ(pmxtest::ExportDocument(nullptr, path, saver.node.get()), FILEERROR_NONE);
  SetActiveDocument(nullptr);
  EXPECT_EQ(ParsePmxWithMmdParser(path)["metadata"]["faceCount"], 2);
}

TEST_F(PmxExport, AFileThatCannotBeOpenedIsReportedAsAFailure) {
  DocPtr doc;
  BaseObject* hip = AddJoint(doc.get(), "Hip", Vector(0, 90, 0));
  (void)hip;
  AddQuad(doc.get(), "Unweighted");
  const std::string dir = TempPath("a_folder");
  fs::create_directories(dir);
  EXPECT_EQ(pmxtest::ExportDocument(doc.get(), dir), FILEERROR_OPEN);
  // The model is built before the open, so its warnings appear too.
  EXPECT_EQ(Console(),
            (std::vector<std::string>{
                "PMX出力を開始...\n",
                "オブジェクト[Unweighted]にウェイト値が無い頂点が4個あります。\n", Failed(dir)}));
  EXPECT_EQ(host::GetRecords().errorDialogs.size(), 1u);
  EXPECT_EQ(host::GetRecords().mouse.back(), MOUSE_NORMAL);
}

TEST_F(PmxExport, AWriteErrorFailsTheExportAndKeepsThePreviousFile) {
  DocPtr doc;
  AddQuad(doc.get(), "Quad");
  const std::string path = TempPath("keep.pmx");
  std::ofstream(path) << "previous";
  host::SetWriteFailureAfter(40);
  EXPECT_EQ(pmxtest::ExportDocument(doc.get(), path), FILEERROR_WRITE);
  host::SetWriteFailureAfter(-1);
  EXPECT_EQ(ReadText(path), "previous");
  EXPECT_EQ(Console(), (std::vector<std::string>{"PMX出力を開始...\n", Failed(path)}));
  // Nothing half-written is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path).parent_path()), {}), 1);
}

TEST_F(PmxExport, ValuesSinglePrecisionCannotHoldKeepThePreviousFile) {
  struct Case {
    const char* what;
    void (*spoil)(BaseDocument* doc, PolygonObject* quad);
  };
  const Case cases[] = {
      {"オブジェクト[Quad]の頂点1",
       [](BaseDocument*, PolygonObject* q) { q->SetRelScale(Vector(1e300, 1, 1)); }},
      {"オブジェクト[Quad]の頂点0",
       [](BaseDocument* d, PolygonObject* q) {
         pmxtest::AddWeights(q, {AddJoint(d, "Hip", Vector())}, {{1e300, 1, 1, 1}});
       }},
      {"マテリアル[Skin]",
       [](BaseDocument* d, PolygonObject* q) {
         pmxtest::AddTexture(q, pmxtest::AddMaterial(d, "Skin", Vector(1e300, 0, 0), ""));
       }},
      {"ボーン[Hip]",
       [](BaseDocument* d, PolygonObject*) { AddJoint(d, "Hip", Vector(0, 1e300, 0)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    host::ClearRecords();
    DocPtr doc;
    c.spoil(doc.get(), AddQuad(doc.get(), "Quad"));
    const std::string path = TempPath("unwritable.pmx");
    std::ofstream(path) << "previous";
    EXPECT_EQ(pmxtest::ExportDocument(doc.get(), path), FILEERROR_INVALID);
    EXPECT_EQ(ReadText(path), "previous");
    const std::vector<std::string> console = Console();
    ASSERT_FALSE(console.empty());
    EXPECT_EQ(console.back(), std::string(kPmxExportFailedText) + path + " (" + c.what +
                                  "に単精度で表せない値があります)\n");
  }
}

TEST_F(PmxExport, AnExceptionAnywhereIsCaughtReportedAndCleanedUp) {
  DocPtr doc;
  BaseObject* hip = AddJoint(doc.get(), "Hip", Vector(0, 90, 0));
  AddJoint(doc.get(), "Knee", Vector(0, -40, 0), hip);
  PolygonObject* leg = pmxtest::AddStrip(doc.get(), "Leg", 3);
  pmxtest::AddWeights(leg, {hip}, {{1, 1, 1, 1, 1, 1, 1, 1}});
  pmxtest::AddTexture(leg, pmxtest::AddMaterial(doc.get(), "Skin", Vector(1), "skin.png"));
  SaverPtr saver;
  const std::string path = TempPath("robust.pmx");
  std::ofstream(path) << "previous";

  // Fail each allocation of the export in turn until one export needs no more.
  long failures = 0;
  for (long n = 0; n < 100000; ++n) {
    host::ClearRecords();
    std::ofstream(path) << "previous";
    const Filename name{String(path)};
    gThrowAtAllocation = n;
    FILEERROR result = FILEERROR_NONE;
    try {
      result = host::SaveDocument(saver.node.get(), doc.get(), name);
    } catch (...) {
      gThrowAtAllocation = -1;
      FAIL() << "an exception left Save at allocation " << n;
    }
    const bool thrown = gThrowAtAllocation.exchange(-1) < 0;
    if (!thrown) {
      EXPECT_EQ(result, FILEERROR_NONE);
      break;
    }
    ++failures;
    SCOPED_TRACE(n);
    if (result == FILEERROR_NONE) {
      // The file was complete before the failure (e.g. while printing the last line).
      EXPECT_EQ(ParsePmxWithMmdParser(path, true)["metadata"]["boneCount"], 2);
      continue;
    }
    EXPECT_EQ(result, FILEERROR_OUTOFMEMORY);
    const std::vector<std::string> console = Console();
    ASSERT_FALSE(console.empty());
    EXPECT_EQ(console.back().rfind(std::string(kPmxExportFailedText) + path, 0), 0u);
    // The cursor is back to normal, if the export got as far as changing it.
    const std::vector<Int32>& mouse = host::GetRecords().mouse;
    EXPECT_TRUE(mouse.empty() || mouse.back() == MOUSE_NORMAL);
    EXPECT_EQ(ReadText(path), "previous");
  }
  EXPECT_GT(failures, 10);
  EXPECT_EQ(ParsePmxWithMmdParser(path)["metadata"]["boneCount"], 2);
}

TEST_F(PmxExport, HiddenObjectsAndTheirDefaultChildrenStayOut) {
  DocPtr doc;
  PolygonObject* off = AddQuad(doc.get(), "Off");
  off->SetRenderMode(MODE_OFF);
  AddQuad(doc.get(), "DefaultUnderOff", off);
  PolygonObject* onUnderOff = AddQuad(doc.get(), "OnUnderOff", off);
  onUnderOff->SetRenderMode(MODE_ON);
  AddQuad(doc.get(), "DefaultUnderOnUnderOff", onUnderOff);
  AddQuad(doc.get(), "Visible");
  PmxPolygonExchange model;
  EXPECT_EQ(Walk(doc.get(), &model), (std::vector<std::string>{"OnUnderOff", "Visible"}));

  const std::string path = TempPath("visibility.pmx");
  ASSERT_EQ(pmxtest::ExportDocument(doc.get(), path), FILEERROR_NONE);
  EXPECT_EQ(ParsePmxWithMmdParser(path)["metadata"]["faceCount"], 4);
}

TEST_F(PmxExport, CachesAreExportedInsteadOfTheirObjects) {
  DocPtr doc;
  // A generator: its cache holds the polygons.
  BaseObject* generator = BaseObject::Alloc(5159);
  generator->SetName(String("Generator"));
  doc->InsertObjectLast(generator);
  PolygonObject* generated = AddQuad(nullptr, "Generated");
  generator->SetCache(generated);
  // A deformed mesh: its deform cache replaces it.
  PolygonObject* deformed = AddQuad(doc.get(), "Deformed");
  PolygonObject* result = AddQuad(nullptr, "DeformedResult");
  result->GetPointW()[2] = Vector(5, 5, 5);
  deformed->SetDeformCache(result);
  // A hidden generator's cache is not entered.
  BaseObject* hidden = BaseObject::Alloc(5159);
  hidden->SetRenderMode(MODE_OFF);
  doc->InsertObjectLast(hidden);
  hidden->SetCache(AddQuad(nullptr, "HiddenGenerated"));

  PmxPolygonExchange model;
  EXPECT_EQ(Walk(doc.get(), &model), (std::vector<std::string>{"Generated", "DeformedResult"}));
  EXPECT_EQ(model.objects[1]->GetVertex(2).position, Vector(5, 5, 5));
}

TEST_F(PmxExport, ControlObjectsAndSkippedTypesStayOut) {
  DocPtr doc;
  PolygonObject* input = AddQuad(doc.get(), "GeneratorInput");
  input->SetBit(BIT_CONTROLOBJECT);
  AddQuad(doc.get(), "ChildOfInput", input);
  BaseObject* skipped = BaseObject::Alloc(ID_PMX_SKIPPED_OBJECT_TYPE);
  doc->InsertObjectLast(skipped);
  AddQuad(doc.get(), "InsideSkipped", skipped);
  AddQuad(doc.get(), "AfterSkipped");
  PmxPolygonExchange model;
  EXPECT_EQ(Walk(doc.get(), &model), (std::vector<std::string>{"ChildOfInput", "AfterSkipped"}));
}

TEST_F(PmxExport, OnlyJointsOpenALevelOfTheJointTree) {
  DocPtr doc;
  BaseObject* hip = AddJoint(doc.get(), "Hip", Vector(0, 90, 0));
  hip->SetRelRot(Vector(Rad(-90), 0, 0));
  BaseObject* null = AddNull(doc.get(), "Group", hip);
  null->SetRelScale(Vector(2, 2, 2));
  BaseObject* spine = AddJoint(doc.get(), "Spine", Vector(0, 20, 0), null);
  AddJoint(doc.get(), "Leg", Vector(0, -40, 0), hip);
  BaseObject* hidden = AddJoint(doc.get(), "Hidden", Vector(), hip);
  hidden->SetRenderMode(MODE_OFF);
  BaseObject* second = AddJoint(doc.get(), "Second", Vector(50, 0, 0));

  PmxPolygonExchange model;
  Walk(doc.get(), &model);
  const auto& roots = model.rootJoint.children;
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(roots[0]->hostJoint, hip);
  EXPECT_EQ(roots[1]->hostJoint, second);
  ASSERT_EQ(roots[0]->children.size(), 2u);
  EXPECT_EQ(roots[0]->children[0]->hostJoint, spine);
  EXPECT_EQ(roots[0]->children[1]->hostJoint->GetName(), String("Leg"));
  // The recorded matrix carries the rotations and scales above the joint, not positions.
  const Matrix m = roots[0]->children[0]->matrix;
  const Matrix expected =
      HPBToMatrix(Vector(Rad(-90), 0, 0), ROTATIONORDER_HPB) * MatrixScale(Vector(2, 2, 2));
  EXPECT_EQ(m.off, Vector());
  EXPECT_EQ(m.v1, expected.v1);
  EXPECT_EQ(m.v3, expected.v3);
}

TEST_F(PmxExport, MorphGroupPicksTheFirstVisiblePolygonChildAsItsBase) {
  DocPtr doc;
  // The morph object is recognised by its type; its inputs carry the control bit as the host
  // sets it on a generator's inputs.
  auto* morph = new BaseObject(ID_PMXMORPHOBJECT);
  doc->InsertObjectLast(morph);
  PolygonObject* hidden = AddQuad(doc.get(), "HiddenChild", morph);
  hidden->SetRenderMode(MODE_OFF);
  PolygonObject* empty = AddMesh(doc.get(), "NoPolygons", {{0, 0, 0}}, {}, morph);
  PolygonObject* base = AddQuad(doc.get(), "Base", morph);
  AddNull(doc.get(), "NotAPolygonObject", morph);
  PolygonObject* target = AddQuad(doc.get(), "あ", morph);
  for (BaseObject* c = morph->GetDown(); c; c = c->GetNext()) c->SetBit(BIT_CONTROLOBJECT);
  (void)empty;

  PmxPolygonExchange model;
  EXPECT_EQ(Walk(doc.get(), &model), std::vector<std::string>{"Base"});
  EXPECT_EQ(model.objects[0]->sourceObject, base);
  EXPECT_EQ(model.objects[0]->morphTargets, std::vector<BaseObject*>{target});

  // A hidden morph object exports nothing.
  morph->SetRenderMode(MODE_OFF);
  PmxPolygonExchange none;
  EXPECT_TRUE(Walk(doc.get(), &none).empty());
}

}  // namespace
