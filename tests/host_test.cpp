// The headless host's own services: text, math, selections, units, files, undo.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "c4d.h"
#include "c4d_host.h"
#include "support/plugin_env.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(HostString, RoundTripsUtf8ThroughUtf16) {
  String s("モデル名 a😀");
  EXPECT_EQ(s.GetLength(), 8);  // the emoji is a surrogate pair
  EXPECT_EQ(s.GetUtf8(), "モデル名 a😀");
  // Broken UTF-8 never throws and never reads past the end.
  EXPECT_EQ(String("\xE3\x83").GetUtf8(), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_LT(String("a").Compare(String("b")), 0);
  EXPECT_LT(String("Z").Compare(String("a")), 0);  // by code unit, not by locale
  UInt16 block[4] = {9, 9, 9, 9};
  String("ab").GetUcBlock(block, 4);
  EXPECT_EQ(std::vector<UInt16>(block, block + 4), (std::vector<UInt16>{'a', 'b', 9, 9}));
  String("xyzw").GetUcBlockNull(block, 3);
  EXPECT_EQ(std::vector<UInt16>(block, block + 4), (std::vector<UInt16>{'x', 'y', 0, 9}));
}

// Where a rotation by right angles sends the X, Y and Z axes: "-z +y +x" is v1 = -Z, ...
Matrix Axes(const char* s) {
  Vector v[3];
  for (Vector& a : v) {
    while (*s == ' ') ++s;
    const Float sign = *s++ == '-' ? -1 : 1;
    (*s == 'x' ? a.x : *s == 'y' ? a.y : a.z) = sign;
    ++s;
  }
  return Matrix(Vector(), v[0], v[1], v[2]);
}

void ExpectNear(const Matrix& a, const Matrix& b, const std::string& what) {
  for (auto [x, y] : {std::pair(a.off, b.off), {a.v1, b.v1}, {a.v2, b.v2}, {a.v3, b.v3}})
    EXPECT_NEAR((x - y).GetLength(), 0, 1e-12) << what;
}

TEST(HostMath, RotationOrdersTurnAsTheHostDoes) {
  struct Case {
    ROTATIONORDER order;
    Vector degrees;
    const char* axes;
  } cases[] = {
      // HPB: bank about Z, then pitch about X, then heading about the world's Y.
      {ROTATIONORDER_HPB, {90, 0, 0}, "+z +y -x"},
      {ROTATIONORDER_HPB, {0, 90, 0}, "+x -z +y"},
      {ROTATIONORDER_HPB, {0, 0, 90}, "-y +x +z"},
      {ROTATIONORDER_HPB, {90, 0, 90}, "-y +z -x"},
      {ROTATIONORDER_HPB, {90, 90, 90}, "-x +z +y"},
      // The axis orders turn by MatrixRotX, MatrixRotY and MatrixRotZ.
      {ROTATIONORDER_XYZGLOBAL, {90, 0, 0}, "+x +z -y"},
      {ROTATIONORDER_XYZGLOBAL, {0, 90, 0}, "-z +y +x"},
      {ROTATIONORDER_XYZGLOBAL, {0, 0, 90}, "+y -x +z"},
      {ROTATIONORDER_XYZGLOBAL, {90, 90, 90}, "-z +y +x"},
      {ROTATIONORDER_XZYGLOBAL, {90, 90, 90}, "+y +x -z"},
      {ROTATIONORDER_YXZGLOBAL, {90, 90, 90}, "-x +z +y"},
      {ROTATIONORDER_YZXGLOBAL, {90, 90, 90}, "+y -x +z"},
      {ROTATIONORDER_ZXYGLOBAL, {90, 90, 90}, "+x +z -y"},
      {ROTATIONORDER_ZYXGLOBAL, {90, 90, 90}, "+z -y +x"},
      {ROTATIONORDER_XYZLOCAL, {90, 90, 90}, "+z -y +x"},
      {ROTATIONORDER_XZYLOCAL, {90, 90, 90}, "+y -x +z"},
      {ROTATIONORDER_YXZLOCAL, {90, 90, 90}, "+x +z -y"},
      {ROTATIONORDER_YZXLOCAL, {90, 90, 90}, "+y +x -z"},
      {ROTATIONORDER_ZXYLOCAL, {90, 90, 90}, "-x +z +y"},
      {ROTATIONORDER_ZYXLOCAL, {90, 90, 90}, "-z +y +x"},
  };
  for (const Case& c : cases) {
    const Vector rot(Rad(c.degrees.x), Rad(c.degrees.y), Rad(c.degrees.z));
    ExpectNear(HPBToMatrix(rot, c.order), Axes(c.axes), std::to_string(c.order) + " " + c.axes);
  }
}

TEST(HostMath, MatrixToHPBInvertsEveryOrder) {
  // Every order meets its gimbal case (middle angle ±90°) in one of the last three.
  const Vector degrees[] = {{30, -45, 60}, {-80, 10, 85}, {150, 20, -170},
                            {90, 30, -60}, {30, -90, 60}, {-30, 60, 90}};
  for (Int32 o = 0; o <= ROTATIONORDER_HPB; ++o) {
    const auto order = static_cast<ROTATIONORDER>(o);
    for (const Vector& d : degrees) {
      const Vector rot(Rad(d.x), Rad(d.y), Rad(d.z));
      const Matrix m = HPBToMatrix(rot, order);
      const Vector back = MatrixToHPB(m * MatrixScale(Vector(2, 3, 0.5)), order);
      ExpectNear(HPBToMatrix(back, order), m, std::to_string(o));
      // Within ±90° the angles are the only ones that give the matrix, and come back.
      if (std::abs(d.x) < 90 && std::abs(d.y) < 90 && std::abs(d.z) < 90) {
        EXPECT_NEAR((back - rot).GetLength(), 0, 1e-12) << o;
      }
    }
  }
  // In the gimbal case the heading is 0 and the bank does the turn.
  const Vector gimbal(Rad(30), Rad(90), Rad(60));
  EXPECT_EQ(MatrixToHPB(HPBToMatrix(gimbal, ROTATIONORDER_HPB), ROTATIONORDER_HPB).x, 0);
  Matrix a = MatrixMove(Vector(1, 2, 3)) * HPBToMatrix(Vector(1, 2, 3), ROTATIONORDER_HPB) *
             MatrixScale(Vector(2, 3, 4));
  ExpectNear(~a * a, Matrix(), "inverse");
}

TEST(HostUnits, TranslationScaleBetweenEveryUnit) {
  UnitScaleData cm(1, DOCUMENT_UNIT::CM), eightCm(8, DOCUMENT_UNIT::CM), m(1, DOCUMENT_UNIT::M),
      in(1, DOCUMENT_UNIT::INCH), km(1, DOCUMENT_UNIT::KM), nm(1, DOCUMENT_UNIT::NM);
  EXPECT_DOUBLE_EQ(CalculateTranslationScale(&cm, &eightCm), 0.125);
  EXPECT_DOUBLE_EQ(CalculateTranslationScale(&m, &cm), 100.0);
  EXPECT_DOUBLE_EQ(CalculateTranslationScale(&in, &cm), 2.54);
  EXPECT_DOUBLE_EQ(CalculateTranslationScale(&km, &m), 1000.0);
  EXPECT_NEAR(CalculateTranslationScale(&nm, &m), 1e-9, 1e-24);
  UnitScaleData mi(1, DOCUMENT_UNIT::MILE), yd(1, DOCUMENT_UNIT::YARD), ft(1, DOCUMENT_UNIT::FOOT);
  EXPECT_DOUBLE_EQ(CalculateTranslationScale(&mi, &yd), 1760.0);
  EXPECT_DOUBLE_EQ(CalculateTranslationScale(&yd, &ft), 3.0);
}

TEST(HostSelection, RangesMergeSplitAndClip) {
  BaseSelect s;
  s.Select(5);
  s.Select(7);
  s.Select(6);  // joins the two neighbours
  s.SelectAll(10, 12);
  s.Select(1);
  EXPECT_EQ(s.GetSegments(), 3);
  EXPECT_EQ(s.GetCount(), 7);
  s.Deselect(6);
  EXPECT_FALSE(s.IsSelected(6));
  EXPECT_TRUE(s.IsSelected(7));
  Int32 a, b, seg = 0;
  std::vector<std::pair<Int32, Int32>> ranges;
  while (s.GetRange(seg++, 11, &a, &b)) ranges.emplace_back(a, b);
  EXPECT_EQ(ranges, (std::vector<std::pair<Int32, Int32>>{{1, 1}, {5, 5}, {7, 7}, {10, 10}}));
}

TEST(HostFile, FailedWriteKeepsThePreviousFile) {
  const std::string path = TempPath("out.bin");
  { std::ofstream(path) << "good"; }
  BaseFile f;
  ASSERT_TRUE(f.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE, BYTEORDER_INTEL));
  host::SetWriteFailureAfter(3);
  f.WriteInt32(1);
  host::SetWriteFailureAfter(-1);
  EXPECT_EQ(f.GetError(), FILEERROR_WRITE);
  EXPECT_FALSE(f.Close());
  EXPECT_EQ(ReadAll(path), "good");
  EXPECT_EQ(std::distance(
                std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()), {}),
            1);
}

TEST(HostFile, WritesInTheChosenByteOrder) {
  const std::string path = TempPath("ordered.bin");
  BaseFile f;
  ASSERT_TRUE(f.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE, BYTEORDER_MOTOROLA));
  f.WriteInt32(0x01020304);
  f.SetOrder(BYTEORDER_INTEL);
  f.WriteInt16(0x0506);
  f.WriteFloat32(2.0f);
  f.WriteChar(-1);
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(ReadAll(path), std::string("\x01\x02\x03\x04\x06\x05\x00\x00\x00\x40\xFF", 11));
}

TEST(HostFile, OpeningAFolderOrMissingDirectoryFailsWithADialog) {
  host::ClearRecords();
  BaseFile f;
  EXPECT_FALSE(
      f.Open(Filename(String(TempPath("no/such/dir/x.pmx"))), FILEOPEN_WRITE, FILEDIALOG_ANY));
  EXPECT_EQ(f.GetError(), FILEERROR_OPEN);
  EXPECT_EQ(host::GetRecords().errorDialogs.size(), 1u);
}

TEST(HostFile, TexturesAreFoundAsGivenOrNextToTheDocument) {
  namespace fs = std::filesystem;
  const fs::path doc = TempPath("texdoc"), elsewhere = TempPath("texelsewhere");
  fs::create_directories(doc / "tex");
  fs::create_directories(doc / "maps");
  fs::create_directories(elsewhere);
  for (const fs::path& f : {doc / "skin.png", doc / "tex" / "hair.png", doc / "maps" / "eye.png",
                            elsewhere / "abs.png"})
    std::ofstream(f) << "png";
  // A relative name means the document's folder, never the working folder of the process.
  const std::string cwdOnly = "host_test_cwd_only.png";
  std::ofstream(cwdOnly) << "png";
  struct Case {
    std::string name;
    std::string found;  // empty: not found
  } cases[] = {
      {(elsewhere / "abs.png").string(), (elsewhere / "abs.png").string()},
      {"maps/eye.png", (doc / "maps" / "eye.png").string()},
      {"hair.png", (doc / "tex" / "hair.png").string()},
      {"moved/away/skin.png", (doc / "skin.png").string()},              // by its bare name
      {(elsewhere / "skin.png").string(), (doc / "skin.png").string()},  // a moved absolute
      {cwdOnly, ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    Filename found;
    const Bool ok = GenerateTexturePath(Filename(String(doc.string())), Filename(String(c.name)),
                                        Filename(), &found);
    EXPECT_EQ(ok, !c.found.empty()) << c.name;
    if (ok) {
      EXPECT_TRUE(fs::equivalent(found.GetSystemPath(), c.found)) << c.name;
    }
  }
  fs::remove(cwdOnly);
}

TEST(HostUndo, RevertsChangesAndNewElementsKeepingTagIdentity) {
  BaseDocument doc;
  PolygonObject* op = PolygonObject::Alloc(3, 1);
  op->GetPointW()[1] = Vector(1, 0, 0);
  doc.InsertObject(op, nullptr, nullptr);
  auto* weights = CAWeightTag::Alloc();
  op->InsertTag(weights);
  const UInt64 tagId = weights->GetUniqueId();

  doc.StartUndo();
  doc.AddUndo(UNDOTYPE_CHANGE, op);
  op->GetPointW()[1] = Vector(9, 9, 9);
  op->SetName("changed");
  BaseObject* added = BaseObject::Alloc(Onull);
  doc.InsertObject(added, nullptr, nullptr);
  doc.AddUndo(UNDOTYPE_NEW, added);
  doc.EndUndo();
  ASSERT_EQ(doc.GetUndoStepCount(), 1);

  ASSERT_TRUE(doc.DoUndo());
  EXPECT_EQ(op->GetPointR()[1], Vector(1, 0, 0));
  EXPECT_EQ(op->GetName(), String());
  EXPECT_EQ(doc.GetFirstObject(), op);
  EXPECT_EQ(op->GetNext(), nullptr);
  EXPECT_EQ(op->GetTag(Tweights)->GetUniqueId(), tagId);  // links to the tag still resolve

  // Redo makes the step again, with the very element it had added; undo reverts it again,
  // and a new step forgets what was undone.
  ASSERT_EQ(doc.GetRedoStepCount(), 1);
  ASSERT_TRUE(doc.DoRedo());
  EXPECT_EQ(op->GetPointR()[1], Vector(9, 9, 9));
  EXPECT_EQ(op->GetName(), String("changed"));
  EXPECT_EQ(doc.GetFirstObject(), added);
  EXPECT_EQ(op->GetTag(Tweights)->GetUniqueId(), tagId);
  EXPECT_FALSE(doc.DoRedo());
  ASSERT_TRUE(doc.DoUndo());
  EXPECT_EQ(op->GetNext(), nullptr);
  EXPECT_EQ(doc.GetFirstObject(), op);
  doc.StartUndo();
  doc.AddUndo(UNDOTYPE_CHANGE, op);
  doc.EndUndo();
  EXPECT_EQ(doc.GetRedoStepCount(), 0);
}

TEST(HostObjects, GlobalMatrixFollowsTheHierarchyAndCaches) {
  BaseDocument doc;
  BaseObject* parent = BaseObject::Alloc(Onull);
  parent->SetRelPos(Vector(10, 0, 0));
  parent->SetRelScale(Vector(2, 2, 2));
  BaseObject* child = BaseObject::Alloc(Onull);
  child->SetRelPos(Vector(1, 0, 0));
  doc.InsertObject(parent, nullptr, nullptr);
  child->InsertUnder(parent);
  EXPECT_EQ(child->GetMg().off, Vector(12, 0, 0));
  BaseObject* cache = PolygonObject::Alloc(0, 0);
  cache->SetRelPos(Vector(0, 1, 0));
  child->SetCache(cache);
  EXPECT_EQ(cache->GetMg().off, Vector(12, 2, 0));
  EXPECT_EQ(cache->GetDocument(), &doc);
  EXPECT_EQ(child->GetDocument(), &doc);

  // SetMg keeps the object's rotation order; a mirroring comes back as well.
  parent->SetRelRot(Vector(0.3, -0.2, 1.1));
  child->SetRotationOrder(ROTATIONORDER_XZYLOCAL);
  for (const Matrix& mg :
       {MatrixMove(Vector(1, 2, 3)) * HPBToMatrix(Vector(2, 1, -3), ROTATIONORDER_HPB) *
            MatrixScale(Vector(1, 2, 3)),
        HPBToMatrix(Vector(0, 0.5, 0), ROTATIONORDER_HPB) * MatrixScale(Vector(-1, 1, 1))}) {
    child->SetMg(mg);
    ExpectNear(child->GetMg(), mg, "SetMg");
    EXPECT_EQ(child->GetRotationOrder(), ROTATIONORDER_XZYLOCAL);
  }
}

}  // namespace
