// The headless host's own services: text, math, selections, units, files, undo.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
}

TEST(HostMath, RotationOrdersComposeTheAxisRotations) {
  const Vector rot(Rad(30), Rad(45), Rad(60));
  // HPB: heading about Y, then pitch about the turned X, then bank about the turned Z.
  Matrix hpb = HPBToMatrix(rot, ROTATIONORDER_HPB);
  Matrix expected = MatrixRotY(rot.x) * MatrixRotX(rot.y) * MatrixRotZ(rot.z);
  EXPECT_EQ(hpb, expected);
  EXPECT_EQ(HPBToMatrix(rot, ROTATIONORDER_XYZLOCAL),
            MatrixRotX(rot.x) * MatrixRotY(rot.y) * MatrixRotZ(rot.z));
  EXPECT_EQ(HPBToMatrix(rot, ROTATIONORDER_XYZGLOBAL),
            MatrixRotZ(rot.z) * MatrixRotY(rot.y) * MatrixRotX(rot.x));
  EXPECT_EQ(HPBToMatrix(Vector(), ROTATIONORDER_ZYXLOCAL), Matrix());
  // Every order gives a rotation: orthonormal axes.
  for (Int32 o = 0; o <= ROTATIONORDER_HPB; ++o) {
    Matrix m = HPBToMatrix(rot, static_cast<ROTATIONORDER>(o));
    EXPECT_NEAR(Dot(m.v1, m.v2), 0, 1e-12);
    EXPECT_NEAR(m.v3.GetLength(), 1, 1e-12);
    EXPECT_NEAR(Dot(Cross(m.v1, m.v2), m.v3), 1, 1e-12);
  }
  Matrix a = MatrixMove(Vector(1, 2, 3)) * HPBToMatrix(rot, ROTATIONORDER_HPB) *
             MatrixScale(Vector(2, 3, 4));
  Matrix id = ~a * a;
  EXPECT_NEAR((id * Vector(5, 6, 7) - Vector(5, 6, 7)).GetLength(), 0, 1e-12);
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
}

}  // namespace
