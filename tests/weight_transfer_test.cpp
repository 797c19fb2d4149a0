// The weight transfer tool: its settings and checks, the per-point rule, the threads and their
// failure messages, undo, reading from a snapshot when source and target are one tag, and the
// spatial index giving bit-identical tags to the exhaustive walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_host_threads.h"
#include "c4d_host_tools.h"
#include "c4d_symbols.h"
#include "support/plugin_env.h"
#include "weighttransfer/weighttransfer.h"
#include "weighttransfer/wtinterpolation.h"

namespace {

const String kSingleThread("ウェイト転送：シングルスレッドで実行します。\n");
const String kSubCellMiss("ウェイト転送：細分化判定でポリゴン外になりました。\n");
String StartFailure(const char* where) {
  return String("ウェイト転送：スレッドを開始できませんでした。(") + String(where) + String(")\n");
}

struct Mesh {
  PolygonObject* op = nullptr;
  CAWeightTag* tag = nullptr;
};

/// A document with joints and meshes built through the host API.
struct Scene {
  std::unique_ptr<BaseDocument> doc{BaseDocument::Alloc()};
  std::vector<BaseObject*> joints;

  explicit Scene(Int32 jointCount = 3) {
    for (Int32 j = 0; j < jointCount; ++j) {
      BaseObject* joint = BaseObject::Alloc(Ojoint);
      joint->SetName(String("J") + String::IntToString(j));
      doc->InsertObjectLast(joint);
      joints.push_back(joint);
    }
  }

  /// A mesh with a weight tag listing `jointIds` (indices into `joints`).
  Mesh AddMesh(const std::vector<Vector>& points, const std::vector<CPolygon>& polygons,
               const std::vector<Int32>& jointIds) {
    Mesh m;
    m.op = PolygonObject::Alloc(static_cast<Int32>(points.size()),
                                static_cast<Int32>(polygons.size()));
    for (size_t i = 0; i < points.size(); ++i) m.op->GetPointW()[i] = points[i];
    for (size_t i = 0; i < polygons.size(); ++i) m.op->GetPolygonW()[i] = polygons[i];
    doc->InsertObjectLast(m.op);
    m.tag = CAWeightTag::Alloc();
    m.op->InsertTagLast(m.tag);
    for (Int32 j : jointIds) m.tag->AddJoint(joints[static_cast<size_t>(j)]);
    m.tag->ReservePoints(static_cast<Int32>(points.size()));
    return m;
  }
};

/// The weights of a tag, joint by joint, as bit patterns (compared bit for bit).
std::vector<UInt64> Bits(const CAWeightTag* tag, Int32 pointCount) {
  std::vector<UInt64> out;
  for (Int32 j = 0; j < tag->GetJointCount(); ++j) {
    for (Int32 p = 0; p < pointCount; ++p)
      out.push_back(std::bit_cast<UInt64>(tag->GetWeight(j, p)));
  }
  return out;
}

Int32 CountLines(const String& line) {
  Int32 n = 0;
  for (const String& s : host::ConsoleLines()) n += s == line;
  return n;
}

/// The square quad a(0,0,0) b(1,0,0) c(1,0,1) d(0,0,1) with weights per corner for J0..J2.
Mesh AddSquare(Scene* scene, const std::vector<std::vector<Float>>& cornerWeights) {
  Mesh m = scene->AddMesh({{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}, {CPolygon(0, 1, 2, 3)},
                          {0, 1, 2});
  for (Int32 p = 0; p < 4; ++p) {
    for (Int32 j = 0; j < 3; ++j)
      m.tag->SetWeight(j, p, cornerWeights[static_cast<size_t>(p)][static_cast<size_t>(j)]);
  }
  return m;
}

class WeightTransferToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsurePluginsRegistered();
    host::ClearRecords();
    host::SetThreadCount(2);
    settings_ = host::GetToolSettings(ID_WEIGHT_TRANSFER_TOOL, doc());
    ASSERT_NE(settings_, nullptr);
    *settings_ = BaseContainer();
    host::FindDescriptionTool(ID_WEIGHT_TRANSFER_TOOL)->InitDefaultSettings(doc(), *settings_);
  }
  void TearDown() override {
    host::SetThreadCount(-1);
    host::ResetThreadFaults();
  }

  BaseDocument* doc() { return scene_.doc.get(); }
  BaseContainer& settings() { return *settings_; }
  Bool Enabled(Int32 id) {
    return host::IsToolParameterEnabled(ID_WEIGHT_TRANSFER_TOOL, doc(), id);
  }
  Bool Drop(Int32 id, GeListNode* element) {
    return host::CanDropOnToolParameter(ID_WEIGHT_TRANSFER_TOOL, doc(), id, element);
  }
  void Link(const Mesh& source, const Mesh& target) {
    settings().SetInt32(WTTOOL_SOURCE_TAG_MODE, WTTAG_LINK);
    settings().SetLink(WTTOOL_SOURCE_TAG, source.tag);
    settings().SetInt32(WTTOOL_TARGET_TAG_MODE, WTTAG_LINK);
    settings().SetLink(WTTOOL_TARGET_TAG, target.tag);
  }
  /// Presses the button through the tool's own message, as the attribute manager does.
  void Press() {
    DescriptionCommand dc;
    dc.id = DescID(WTTOOL_RUN);
    host::FindDescriptionTool(ID_WEIGHT_TRANSFER_TOOL)
        ->Message(doc(), settings(), MSG_DESCRIPTION_COMMAND, &dc);
  }

  Scene scene_;
  BaseContainer* settings_ = nullptr;
};

TEST_F(WeightTransferToolTest, DescriptionDeclaresEveryParameterWithTheToolsDefaults) {
  Description d;
  ASSERT_TRUE(d.LoadDescription(ID_WEIGHT_TRANSFER_TOOL));
  const std::vector<std::pair<Int32, Int32>> expected = {
      {WTTOOL_WRITE_MODE, DTYPE_LONG},
      {WTTOOL_NORMALIZE, DTYPE_BOOL},
      {WTTOOL_ADD_MISSING_JOINTS, DTYPE_BOOL},
      {WTTOOL_CLEAR_UNMATCHED, DTYPE_BOOL},
      {WTTOOL_LOCAL_COORDINATES, DTYPE_BOOL},
      {WTTOOL_SURFACE, DTYPE_BOOL},
      {WTTOOL_SEARCH, DTYPE_LONG},
      {WTTOOL_SOURCE_TAG_MODE, DTYPE_LONG},
      {WTTOOL_SOURCE_TAG, DTYPE_BASELISTLINK},
      {WTTOOL_SOURCE_RANGE, DTYPE_LONG},
      {WTTOOL_SOURCE_SELECTION, DTYPE_BASELISTLINK},
      {WTTOOL_TARGET_TAG_MODE, DTYPE_LONG},
      {WTTOOL_TARGET_TAG, DTYPE_BASELISTLINK},
      {WTTOOL_TARGET_RANGE, DTYPE_LONG},
      {WTTOOL_TARGET_SELECTION, DTYPE_BASELISTLINK},
      {WTTOOL_RUN, DTYPE_BUTTON}};
  for (auto [id, type] : expected) {
    const DescriptionEntry* e = d.Find(id);
    ASSERT_NE(e, nullptr) << id;
    EXPECT_EQ(e->type, type) << id;
    // The description's defaults agree with the tool's own.
    if (const GeData* def = e->settings.GetDataPointer(DESC_DEFAULT)) {
      EXPECT_EQ(def->GetInt32(), settings().GetInt32(id)) << id;
    }
  }
  EXPECT_EQ(settings().GetInt32(WTTOOL_WRITE_MODE), 0);
  EXPECT_TRUE(settings().GetBool(WTTOOL_NORMALIZE));
  EXPECT_TRUE(settings().GetBool(WTTOOL_SURFACE));
  EXPECT_FALSE(settings().GetBool(WTTOOL_ADD_MISSING_JOINTS));
  EXPECT_FALSE(settings().GetBool(WTTOOL_CLEAR_UNMATCHED));
  EXPECT_FALSE(settings().GetBool(WTTOOL_LOCAL_COORDINATES));
  EXPECT_EQ(settings().GetInt32(WTTOOL_SEARCH), WTSEARCH_INDEXED);
}

TEST_F(WeightTransferToolTest, LinksAreEnabledOnlyForTheirChoice) {
  EXPECT_FALSE(Enabled(WTTOOL_SOURCE_TAG));
  EXPECT_FALSE(Enabled(WTTOOL_SOURCE_SELECTION));
  EXPECT_FALSE(Enabled(WTTOOL_TARGET_TAG));
  EXPECT_FALSE(Enabled(WTTOOL_TARGET_SELECTION));
  EXPECT_TRUE(Enabled(WTTOOL_WRITE_MODE));
  settings().SetInt32(WTTOOL_SOURCE_TAG_MODE, WTTAG_LINK);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_SELECTION_TAG);
  settings().SetInt32(WTTOOL_TARGET_TAG_MODE, WTTAG_LINK);
  settings().SetInt32(WTTOOL_TARGET_RANGE, WTRANGE_SELECTION_TAG);
  EXPECT_TRUE(Enabled(WTTOOL_SOURCE_TAG));
  EXPECT_TRUE(Enabled(WTTOOL_SOURCE_SELECTION));
  EXPECT_TRUE(Enabled(WTTOOL_TARGET_TAG));
  EXPECT_TRUE(Enabled(WTTOOL_TARGET_SELECTION));
}

TEST_F(WeightTransferToolTest, ButtonIsDisabledForEveryBadSetting) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}});
  Mesh target = scene_.AddMesh({{0.5, 1, 0.5}}, {}, {0, 1, 2});
  // With the defaults, both sides use the active tag: there is none yet.
  EXPECT_FALSE(Enabled(WTTOOL_RUN));
  doc()->SetActiveTag(source.tag);
  EXPECT_TRUE(Enabled(WTTOOL_RUN));  // one tag as source and target

  Link(source, target);
  ASSERT_TRUE(Enabled(WTTOOL_RUN));
  const auto disabledWith = [&](Int32 id, const GeData& value) {
    const GeData old = settings().GetData(id);
    settings().SetData(id, value);
    const Bool enabled = Enabled(WTTOOL_RUN);
    settings().SetData(id, old);
    return !enabled;
  };
  EXPECT_TRUE(disabledWith(WTTOOL_WRITE_MODE, GeData(Int32(3))));
  EXPECT_TRUE(disabledWith(WTTOOL_WRITE_MODE, GeData(Int32(-1))));  // a large unsigned number
  EXPECT_FALSE(disabledWith(WTTOOL_WRITE_MODE, GeData(Int32(2))));
  EXPECT_TRUE(disabledWith(WTTOOL_SOURCE_TAG_MODE, GeData(Int32(2))));
  EXPECT_TRUE(disabledWith(WTTOOL_TARGET_TAG_MODE, GeData(Int32(-1))));
  EXPECT_TRUE(disabledWith(WTTOOL_SOURCE_TAG, GeData(static_cast<const BaseList2D*>(nullptr))));
  EXPECT_TRUE(disabledWith(WTTOOL_TARGET_TAG, GeData(static_cast<const BaseList2D*>(nullptr))));
  EXPECT_TRUE(disabledWith(WTTOOL_SOURCE_RANGE, GeData(Int32(4))));
  EXPECT_TRUE(disabledWith(WTTOOL_TARGET_RANGE, GeData(Int32(-1))));
  // Range 3 without a selection tag.
  EXPECT_TRUE(disabledWith(WTTOOL_SOURCE_RANGE, GeData(Int32(WTRANGE_SELECTION_TAG))));
  EXPECT_TRUE(disabledWith(WTTOOL_TARGET_RANGE, GeData(Int32(WTRANGE_SELECTION_TAG))));

  // A tag that is not a weight tag, and a weight tag on an object that is not a mesh.
  BaseTag* phong = BaseTag::Alloc(Tphong);
  source.op->InsertTagLast(phong);
  EXPECT_TRUE(disabledWith(WTTOOL_SOURCE_TAG, GeData(phong)));
  BaseObject* null = BaseObject::Alloc(Onull);
  doc()->InsertObjectLast(null);
  auto* strayWeights = CAWeightTag::Alloc();
  null->InsertTagLast(strayWeights);
  EXPECT_TRUE(disabledWith(WTTOOL_TARGET_TAG, GeData(strayWeights)));

  // Selection tags: a point selection on the source needs surface interpolation off; a
  // selection on another object never passes.
  auto* points = SelectionTag::Alloc(Tpointselection);
  source.op->InsertTagLast(points);
  auto* polygons = SelectionTag::Alloc(Tpolygonselection);
  source.op->InsertTagLast(polygons);
  auto* foreign = SelectionTag::Alloc(Tpolygonselection);
  target.op->InsertTagLast(foreign);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_SELECTION_TAG);
  settings().SetLink(WTTOOL_SOURCE_SELECTION, points);
  EXPECT_FALSE(Enabled(WTTOOL_RUN));
  settings().SetBool(WTTOOL_SURFACE, false);
  EXPECT_TRUE(Enabled(WTTOOL_RUN));
  settings().SetBool(WTTOOL_SURFACE, true);
  settings().SetLink(WTTOOL_SOURCE_SELECTION, polygons);
  EXPECT_TRUE(Enabled(WTTOOL_RUN));
  settings().SetLink(WTTOOL_SOURCE_SELECTION, foreign);
  EXPECT_FALSE(Enabled(WTTOOL_RUN));
  settings().SetLink(WTTOOL_SOURCE_SELECTION, phong);
  EXPECT_FALSE(Enabled(WTTOOL_RUN));
  // The target side never interpolates: a point selection on the target is fine.
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_ALL);
  settings().SetInt32(WTTOOL_TARGET_RANGE, WTRANGE_SELECTION_TAG);
  auto* targetPoints = SelectionTag::Alloc(Tpointselection);
  target.op->InsertTagLast(targetPoints);
  settings().SetLink(WTTOOL_TARGET_SELECTION, targetPoints);
  EXPECT_TRUE(Enabled(WTTOOL_RUN));

  // A press with failing settings does nothing, not even an undo step.
  settings().SetInt32(WTTOOL_WRITE_MODE, 3);
  Press();
  EXPECT_EQ(doc()->GetUndoStepCount(), 0);
  EXPECT_TRUE(host::GetRecords().mouse.empty());
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.0);
}

TEST_F(WeightTransferToolTest, LinksAcceptOnlyTheirKindOfTag) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}});
  BaseObject* null = BaseObject::Alloc(Onull);
  doc()->InsertObjectLast(null);
  auto* strayWeights = CAWeightTag::Alloc();
  null->InsertTagLast(strayWeights);
  auto* points = SelectionTag::Alloc(Tpointselection);
  source.op->InsertTagLast(points);
  auto* polygons = SelectionTag::Alloc(Tpolygonselection);
  source.op->InsertTagLast(polygons);
  auto* edges = SelectionTag::Alloc(Tedgeselection);
  source.op->InsertTagLast(edges);

  for (Int32 id : {WTTOOL_SOURCE_TAG, WTTOOL_TARGET_TAG}) {
    EXPECT_TRUE(Drop(id, source.tag));
    EXPECT_FALSE(Drop(id, strayWeights));
    EXPECT_FALSE(Drop(id, points));
    EXPECT_FALSE(Drop(id, source.op));
  }
  for (Int32 id : {WTTOOL_SOURCE_SELECTION, WTTOOL_TARGET_SELECTION}) {
    EXPECT_TRUE(Drop(id, points));
    EXPECT_TRUE(Drop(id, polygons));
    EXPECT_FALSE(Drop(id, edges));
    EXPECT_FALSE(Drop(id, source.tag));
  }
  // The link takes a point selection while surface interpolation is on; the button then
  // stays disabled.
  ASSERT_TRUE(settings().GetBool(WTTOOL_SURFACE));
  Mesh target = scene_.AddMesh({{0.5, 1, 0.5}}, {}, {0, 1, 2});
  Link(source, target);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_SELECTION_TAG);
  EXPECT_TRUE(Drop(WTTOOL_SOURCE_SELECTION, points));
  settings().SetLink(WTTOOL_SOURCE_SELECTION, points);
  EXPECT_FALSE(Enabled(WTTOOL_RUN));
}

/// Runs the transfer from `source` to `target` with both searches; both must agree bit for bit.
class TransferRun : public WeightTransferToolTest {
 protected:
  std::vector<UInt64> RunBoth(const Mesh& source, const Mesh& target) {
    const Int32 n = target.op->GetPointCount();
    std::unique_ptr<CAWeightTag> before(
        static_cast<CAWeightTag*>(target.tag->GetClone(COPYFLAGS_0)));
    settings().SetInt32(WTTOOL_SEARCH, WTSEARCH_EXHAUSTIVE);
    Link(source, target);
    Press();
    const std::vector<UInt64> reference = Bits(target.tag, n);
    before->CopyTo(target.tag, COPYFLAGS_0);
    settings().SetInt32(WTTOOL_SEARCH, WTSEARCH_INDEXED);
    Press();
    EXPECT_EQ(Bits(target.tag, n), reference);
    return reference;
  }
};

TEST_F(TransferRun, CentreOfASquareQuadReceivesAQuarter) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}});
  Mesh target = scene_.AddMesh({{0.5, 0.3, 0.5}}, {}, {0, 1, 2});
  settings().SetBool(WTTOOL_NORMALIZE, false);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.25);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 0.25);
  EXPECT_EQ(target.tag->GetWeight(2, 0), 0.5);
  EXPECT_EQ(CountLines(kSubCellMiss), 0);
}

TEST_F(TransferRun, PointOnASourcePointTakesExactlyItsWeights) {
  Mesh source = AddSquare(&scene_, {{0.7, 0.2, 0.1}, {0.1, 0.6, 0.3}, {0, 0, 1}, {0.3, 0.3, 0.3}});
  Mesh target = scene_.AddMesh({{1, 0, 0}, {0, 0, 1}}, {}, {0, 1, 2});
  settings().SetBool(WTTOOL_NORMALIZE, false);
  RunBoth(source, target);
  for (Int32 j = 0; j < 3; ++j) {
    EXPECT_EQ(target.tag->GetWeight(j, 0), source.tag->GetWeight(j, 1));
    EXPECT_EQ(target.tag->GetWeight(j, 1), source.tag->GetWeight(j, 3));
  }
}

TEST_F(TransferRun, ACloserSourcePointBeatsATriangleUnderneath) {
  // A large triangle far below the target and a small one right beside it.
  Mesh source =
      scene_.AddMesh({{-10, 0, -10}, {10, 0, -10}, {0, 0, 10}, {0, 5, 0}, {0.1, 5, 0}, {0, 5, 0.1}},
                     {CPolygon(0, 1, 2), CPolygon(3, 4, 5)}, {0, 1, 2});
  for (Int32 p = 0; p < 6; ++p) {
    source.tag->SetWeight(0, p, p < 3 ? 1.0 : 0.25);
    source.tag->SetWeight(1, p, p < 3 ? 0.0 : 0.75);
  }
  Mesh target = scene_.AddMesh({{0.5, 4.9, 0.5}}, {}, {0, 1, 2});
  RunBoth(source, target);
  EXPECT_DOUBLE_EQ(target.tag->GetWeight(0, 0), 0.25);
  EXPECT_DOUBLE_EQ(target.tag->GetWeight(1, 0), 0.75);
}

TEST_F(TransferRun, WriteModesReplaceKeepAndAdd) {
  Mesh source = AddSquare(&scene_, {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {0, 1, 0}});
  Mesh target = scene_.AddMesh({{0.5, 0.2, 0.5}}, {}, {0, 1, 2});
  settings().SetBool(WTTOOL_NORMALIZE, false);
  const auto reset = [&] {
    target.tag->SetWeight(0, 0, 0.7);
    target.tag->SetWeight(1, 0, 0.3);
    target.tag->SetWeight(2, 0, 0.0);
  };
  reset();
  settings().SetInt32(WTTOOL_WRITE_MODE, WRITEMODE_REPLACE);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.0);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.0);
  // Mode 1 never lowers an existing weight to 0 when the transferred weight is (near) 0.
  reset();
  settings().SetInt32(WTTOOL_WRITE_MODE, WRITEMODE_REPLACE_ABOVE_THRESHOLD);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.7);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.0);
  reset();
  settings().SetInt32(WTTOOL_WRITE_MODE, WRITEMODE_ADD);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.7);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.3);
}

TEST_F(TransferRun, NormalisingAPointWithoutWeightsLeavesZeros) {
  Mesh source = AddSquare(&scene_, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  Mesh target = scene_.AddMesh({{0.5, 0.2, 0.5}}, {}, {0, 1, 2});
  target.tag->SetWeight(0, 0, 0.5);
  RunBoth(source, target);
  for (Int32 j = 0; j < 3; ++j) EXPECT_EQ(std::bit_cast<UInt64>(target.tag->GetWeight(j, 0)), 0u);
}

TEST_F(TransferRun, WithoutSurfaceInterpolationEachPointTakesOneSourcePoint) {
  Mesh source = AddSquare(&scene_, {{0.6, 0.2, 0.2}, {0, 1, 0}, {0, 0, 1}, {0.5, 0.5, 0}});
  Mesh target = scene_.AddMesh({{0.4, 0.3, 0.3}, {0.55, 0.3, 0.45}, {0.2, -1, 0.9}}, {}, {0, 1, 2});
  settings().SetBool(WTTOOL_SURFACE, false);
  RunBoth(source, target);
  const std::vector<Int32> nearest{0, 1, 3};
  for (Int32 p = 0; p < 3; ++p) {
    Float sum = 0;
    for (Int32 j = 0; j < 3; ++j) sum += source.tag->GetWeight(j, nearest[static_cast<size_t>(p)]);
    for (Int32 j = 0; j < 3; ++j) {
      EXPECT_DOUBLE_EQ(target.tag->GetWeight(j, p),
                       source.tag->GetWeight(j, nearest[static_cast<size_t>(p)]) / sum)
          << p << " " << j;
    }
  }
}

TEST_F(TransferRun, JointMissingFromTheSourceIsKeptOrCleared) {
  Scene& s = scene_;
  Mesh source = s.AddMesh({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}}, {CPolygon(0, 1, 2)}, {0, 1});
  for (Int32 p = 0; p < 3; ++p) source.tag->SetWeight(0, p, 1.0);
  Mesh target = s.AddMesh({{0.2, 0.1, 0.2}}, {}, {2, 0});  // J2 first: not in the source
  target.tag->SetWeight(0, 0, 0.4);
  settings().SetBool(WTTOOL_NORMALIZE, false);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.4);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.0);
  settings().SetBool(WTTOOL_CLEAR_UNMATCHED, true);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.0);
}

TEST_F(TransferRun, AddedJointsReceiveWeightsInTheSameRun) {
  Mesh source = scene_.AddMesh({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}}, {CPolygon(0, 1, 2)}, {0, 1, 2});
  for (Int32 p = 0; p < 3; ++p) {
    source.tag->SetWeight(0, p, 0.2);
    source.tag->SetWeight(2, p, 0.8);
  }
  Mesh target = scene_.AddMesh({{0.2, 0.1, 0.2}, {5, 5, 5}}, {}, {0});
  settings().SetBool(WTTOOL_ADD_MISSING_JOINTS, true);
  Link(source, target);
  Press();
  ASSERT_EQ(target.tag->GetJointCount(), 3);
  EXPECT_EQ(target.tag->GetJoint(1, doc()), scene_.joints[1]);
  EXPECT_EQ(target.tag->GetJoint(2, doc()), scene_.joints[2]);
  for (Int32 p = 0; p < 2; ++p) {
    EXPECT_DOUBLE_EQ(target.tag->GetWeight(0, p), 0.2);
    EXPECT_DOUBLE_EQ(target.tag->GetWeight(2, p), 0.8);
  }
  // Undo takes back the weights and the joints.
  ASSERT_EQ(doc()->GetUndoStepCount(), 1);
  EXPECT_EQ(doc()->GetUndoStepTypes(0), std::vector<UNDOTYPE>{UNDOTYPE_CHANGE});
  ASSERT_TRUE(doc()->DoUndo());
  EXPECT_EQ(target.tag->GetJointCount(), 1);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.0);
}

TEST_F(TransferRun, RunShowsBusyCursorAndRedraws) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}});
  Mesh target = scene_.AddMesh({{0.5, 0.3, 0.5}}, {}, {0, 1, 2});
  Link(source, target);
  const UInt32 dirty = target.tag->GetDirty(DIRTYFLAGS_DATA);
  Press();
  EXPECT_EQ(host::GetRecords().mouse, (std::vector<Int32>{MOUSE_BUSY, MOUSE_NORMAL}));
  EXPECT_EQ(host::GetRecords().events, std::vector<Int32>{EVENT_FORCEREDRAW});
  EXPECT_NE(target.tag->GetDirty(DIRTYFLAGS_DATA), dirty);
  EXPECT_TRUE(host::ConsoleLines().empty());
}

TEST_F(TransferRun, EmptyTargetSetWritesNothing) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}});
  Mesh target = scene_.AddMesh({{0.5, 0.3, 0.5}, {0, 1, 0}}, {}, {0, 1, 2});
  target.tag->SetWeight(1, 0, 0.5);
  settings().SetInt32(WTTOOL_TARGET_RANGE, WTRANGE_SELECTED);  // nothing is selected
  for (Int32 threads : {0, 1, 7}) {
    host::SetThreadCount(threads);
    RunBoth(source, target);
    EXPECT_EQ(target.tag->GetWeight(1, 0), 0.5);
    EXPECT_EQ(target.tag->GetWeight(0, 1), 0.0);
  }
  // Selecting one point transfers to it alone.
  target.op->GetPointS()->Select(1);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 0.5);
  EXPECT_EQ(target.tag->GetWeight(0, 1), 1.0);  // corner a at distance 1 beats the plane's 1
}

TEST_F(TransferRun, SourcePartsRestrictWhatIsSearched) {
  // Two triangles; only the far one is selected as the source part.
  Mesh source =
      scene_.AddMesh({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {10, 0, 0}, {11, 0, 0}, {10, 0, 1}},
                     {CPolygon(0, 1, 2), CPolygon(3, 4, 5)}, {0, 1, 2});
  for (Int32 p = 0; p < 6; ++p) source.tag->SetWeight(p < 3 ? 0 : 1, p, 1.0);
  Mesh target = scene_.AddMesh({{0.2, 0.1, 0.2}}, {}, {0, 1, 2});
  source.op->GetPolygonS()->Select(1);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_SELECTED);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.0);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_UNSELECTED);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(0, 0), 1.0);
  auto* sel = SelectionTag::Alloc(Tpolygonselection);
  sel->GetBaseSelect()->Select(1);
  sel->GetBaseSelect()->Select(7);  // a stale index beyond the polygon count is ignored
  source.op->InsertTagLast(sel);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_SELECTION_TAG);
  settings().SetLink(WTTOOL_SOURCE_SELECTION, sel);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.0);
}

TEST_F(TransferRun, EveryThreadCountGivesTheSameTag) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0.5, 0.5}, {0.2, 0.3, 0.5}});
  std::vector<Vector> pts;
  for (Int32 i = 0; i < 40; ++i) pts.emplace_back(0.03 * i - 0.1, 0.1 * (i % 3), 0.025 * i);
  Mesh target = scene_.AddMesh(pts, {}, {0, 1, 2});
  host::SetThreadCount(0);
  const std::vector<UInt64> single = RunBoth(source, target);
  EXPECT_EQ(CountLines(kSingleThread), 2);
  for (Int32 threads : {1, 2, 7, 64}) {  // 64 workers for 40 points: the surplus returns at once
    host::SetThreadCount(threads);
    EXPECT_EQ(RunBoth(source, target), single) << threads;
  }
  EXPECT_EQ(CountLines(kSingleThread), 2);
}

TEST_F(TransferRun, ThreadSetupFailuresAreReportedAndChangeNothing) {
  Mesh source = AddSquare(&scene_, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}});
  Mesh target = scene_.AddMesh({{0.5, 0.3, 0.5}, {0.1, 0.1, 0.1}}, {}, {0, 1, 2});
  Link(source, target);
  const std::vector<UInt64> untouched = Bits(target.tag, 2);
  host::SetThreadCount(3);

  host::SetAllocationFailureAfter(0);  // the worker array
  Press();
  host::SetAllocationFailureAfter(2);  // the array and one worker, then the second worker fails
  Press();
  EXPECT_EQ(CountLines(StartFailure("MPAlloc::Init")), 2);
  host::ResetThreadFaults();

  host::SetThreadPoolInitFailure(true);
  Press();
  EXPECT_EQ(CountLines(StartFailure("MPThreadPool::Init")), 1);
  host::ResetThreadFaults();

  host::SetThreadStartFailureAfter(0);
  Press();
  EXPECT_EQ(CountLines(StartFailure("MPThreadPool::Start")), 1);
  EXPECT_EQ(Bits(target.tag, 2), untouched);
  // Every failed run still completes: undo step, redraw.
  EXPECT_EQ(doc()->GetUndoStepCount(), 4);
  EXPECT_EQ(host::GetRecords().events.size(), 4u);

  // A start that fails part-way ends the pool; what the started worker took may be done.
  host::SetThreadStartFailureAfter(1);
  Press();
  EXPECT_EQ(CountLines(StartFailure("MPThreadPool::Start")), 2);
  host::ResetThreadFaults();
  Press();
  EXPECT_EQ(target.tag->GetWeight(0, 0), 0.25);
}

// Source and target are the same tag: every point must read the weights as they were before
// the run, whatever the number of threads and the order the points are taken in.
TEST_F(TransferRun, OneTagAsSourceAndTargetReadsTheWeightsOfBeforeTheRun) {
  std::vector<Vector> pts;
  std::vector<CPolygon> polys;
  const Int32 n = 12;
  for (Int32 k = 0; k <= n; ++k) {
    for (Int32 i = 0; i <= n; ++i) pts.emplace_back(i, 0.1 * ((i * 7 + k * 3) % 5), k);
  }
  for (Int32 k = 0; k < n; ++k) {
    for (Int32 i = 0; i < n; ++i) {
      const Int32 a = k * (n + 1) + i;
      polys.emplace_back(a, a + 1, a + n + 2, a + n + 1);
    }
  }
  const auto fill = [&](const Mesh& m) {
    for (Int32 p = 0; p < static_cast<Int32>(pts.size()); ++p) {
      m.tag->SetWeight(0, p, (p % 7) / 7.0);
      m.tag->SetWeight(1, p, (p % 3) / 3.0);
      m.tag->SetWeight(2, p, 0.125);
    }
  };
  // The reference: an identical, separate copy as the source.
  Mesh copy = scene_.AddMesh(pts, polys, {0, 1, 2});
  Mesh mesh = scene_.AddMesh(pts, polys, {0, 1, 2});
  fill(copy);
  const auto setup = [&] {
    fill(mesh);
    // The source is every other polygon row; every point is a target. Adding without
    // normalising makes points that are both source and target change what others read.
    mesh.op->GetPolygonS()->DeselectAll();
    copy.op->GetPolygonS()->DeselectAll();
    for (Int32 v = 0; v < n * n; ++v) {
      if ((v / n) % 2 == 0) {
        mesh.op->GetPolygonS()->Select(v);
        copy.op->GetPolygonS()->Select(v);
      }
    }
  };
  settings().SetInt32(WTTOOL_WRITE_MODE, WRITEMODE_ADD);
  settings().SetBool(WTTOOL_NORMALIZE, false);
  settings().SetInt32(WTTOOL_SOURCE_RANGE, WTRANGE_SELECTED);
  setup();
  const Int32 count = static_cast<Int32>(pts.size());
  const std::vector<UInt64> reference = RunBoth(copy, mesh);

  settings().SetInt32(WTTOOL_SOURCE_TAG_MODE, WTTAG_ACTIVE);
  settings().SetInt32(WTTOOL_TARGET_TAG_MODE, WTTAG_ACTIVE);
  doc()->SetActiveTag(mesh.tag);
  for (Int32 search : {WTSEARCH_EXHAUSTIVE, WTSEARCH_INDEXED}) {
    for (Int32 threads : {0, 1, 2, 7}) {
      setup();
      host::SetThreadCount(threads);
      settings().SetInt32(WTTOOL_SEARCH, search);
      Press();
      EXPECT_EQ(Bits(mesh.tag, count), reference) << search << " " << threads;
    }
  }
}

// A point that lies just outside a quadrangle half (within the angle tolerance) but in no
// sub-cell of it: the walk prints the message for every such half it takes on its way, the
// index only for the winning half; the weights agree.
TEST_F(TransferRun, SubCellMessageIsPrintedForTheWinningHalfOnly) {
  const Float h0 = 5e-6, h1 = 5e-3;
  const Float x0 = 0.51, y = 0.1;
  // Quad 0 (small, 0.003 below the target), then quad 1 (large, 0.001 below), each with the
  // target just outside its edge a-b.
  std::vector<Vector> pts = {{0, y - 0.003, 0},
                             {1, y - 0.003, 0},
                             {1, y - 0.003, 1},
                             {0, y - 0.003, 1},
                             {x0 - 500, y - 0.001, -h0 + h1},
                             {x0 + 500, y - 0.001, -h0 + h1},
                             {x0 + 500, y - 0.001, 1000},
                             {x0 - 500, y - 0.001, 1000}};
  Mesh source = scene_.AddMesh(pts, {CPolygon(0, 1, 2, 3), CPolygon(4, 5, 6, 7)}, {0, 1, 2});
  for (Int32 p = 0; p < 8; ++p) source.tag->SetWeight(p % 3, p, 1.0);
  Mesh target = scene_.AddMesh({{x0, y, -h0}}, {}, {0, 1, 2});
  settings().SetBool(WTTOOL_NORMALIZE, false);
  Link(source, target);
  settings().SetInt32(WTTOOL_SEARCH, WTSEARCH_EXHAUSTIVE);
  Press();
  EXPECT_EQ(CountLines(kSubCellMiss), 2);
  const std::vector<UInt64> reference = Bits(target.tag, 1);
  // The winner is quad 1's first half: weights blend corners 4, 5, 6 only.
  EXPECT_EQ(
      target.tag->GetWeight(0, 0) + target.tag->GetWeight(1, 0) + target.tag->GetWeight(2, 0) >
          0.99,
      true);
  host::ClearRecords();
  for (Int32 j = 0; j < 3; ++j) target.tag->SetWeight(j, 0, 0.0);
  settings().SetInt32(WTTOOL_SEARCH, WTSEARCH_INDEXED);
  Press();
  EXPECT_EQ(CountLines(kSubCellMiss), 1);
  EXPECT_EQ(Bits(target.tag, 1), reference);
}

TEST_F(TransferRun, StaleTargetSelectionAndInvalidPolygonsAreSkipped) {
  // A polygon naming a point the mesh does not have takes no part in the source.
  Mesh source =
      scene_.AddMesh({{0, 0, 0}, {1, 0, 0}, {0, 0, 1}},
                     {CPolygon(0, 1, 2), CPolygon(0, 1, 9), CPolygon(-1, 0, 1)}, {0, 1, 2});
  for (Int32 p = 0; p < 3; ++p) source.tag->SetWeight(1, p, 1.0);
  Mesh target = scene_.AddMesh({{0.2, 0.1, 0.2}}, {}, {0, 1, 2});
  auto* sel = SelectionTag::Alloc(Tpointselection);
  sel->GetBaseSelect()->Select(0);
  sel->GetBaseSelect()->Select(5);  // beyond the target's point count
  target.op->InsertTagLast(sel);
  settings().SetInt32(WTTOOL_TARGET_RANGE, WTRANGE_SELECTION_TAG);
  settings().SetLink(WTTOOL_TARGET_SELECTION, sel);
  RunBoth(source, target);
  EXPECT_EQ(target.tag->GetWeight(1, 0), 1.0);
  EXPECT_EQ(target.tag->GetPointCapacity(), 1);
}

// ---------------------------------------------------------------------------------------
// The spatial index against the exhaustive walk on random meshes built to hit ties.

struct RandomCase {
  std::vector<Vector> sourcePoints;
  std::vector<CPolygon> sourcePolygons;
  std::vector<std::vector<Float>> weights;  // [point][joint]
  std::vector<Vector> targetPoints;
  Vector sourcePos, sourceRot, sourceScale{1, 1, 1};
  Vector targetPos, targetRot, targetScale{1, 1, 1};
};

RandomCase MakeRandomCase(UInt32 seed) {
  std::mt19937 rng(seed);
  const auto uniform = [&](Float a, Float b) {
    return std::uniform_real_distribution<Float>(a, b)(rng);
  };
  const auto pick = [&](Int32 n) { return static_cast<Int32>(rng() % static_cast<UInt32>(n)); };
  RandomCase rc;
  const Int32 nx = 3 + pick(4), nz = 3 + pick(4);
  const Bool jitter = pick(3) == 0;
  for (Int32 k = 0; k < nz; ++k) {
    for (Int32 i = 0; i < nx; ++i) {
      const Float yOptions[] = {0.0, 0.0, 0.5, -0.25};
      Vector p(i, yOptions[pick(4)], k);
      if (jitter) p += Vector(uniform(-0.3, 0.3), uniform(-0.3, 0.3), uniform(-0.3, 0.3));
      rc.sourcePoints.push_back(p);
    }
  }
  const Int32 grid = nx * nz;
  // Duplicates of existing points, used by some polygons below.
  const Int32 dups = 1 + pick(3);
  for (Int32 d = 0; d < dups; ++d)
    rc.sourcePoints.push_back(rc.sourcePoints[static_cast<size_t>(pick(grid))]);
  const Int32 total = static_cast<Int32>(rc.sourcePoints.size());
  const auto at = [&](Int32 i, Int32 k) { return k * nx + i; };
  for (Int32 k = 0; k + 1 < nz; ++k) {
    for (Int32 i = 0; i + 1 < nx; ++i) {
      Int32 a = at(i, k), b = at(i + 1, k), c = at(i + 1, k + 1), d = at(i, k + 1);
      if (pick(6) == 0) a = grid + pick(dups);  // a duplicate point as a corner
      switch (pick(7)) {
        case 0:
          rc.sourcePolygons.emplace_back(a, b, c);
          rc.sourcePolygons.emplace_back(a, c, d);
          break;
        case 1:
          rc.sourcePolygons.emplace_back(a, b, b, c);  // repeated corner
          break;
        case 2:
          if (i + 2 < nx)
            rc.sourcePolygons.emplace_back(at(i, k), at(i + 1, k),
                                           at(i + 2, k));  // maybe collinear
          rc.sourcePolygons.emplace_back(a, b, c, d);
          break;
        case 3:
          rc.sourcePolygons.emplace_back(a, a, a, a);  // a single point
          break;
        default:
          rc.sourcePolygons.emplace_back(a, b, c, d);
          break;
      }
    }
  }
  const Float weightOptions[] = {0.0, 0.25, 0.5, 1.0, 5e-11, -1.0};
  for (Int32 p = 0; p < total; ++p) {
    std::vector<Float> w;
    for (Int32 j = 0; j < 3; ++j) {
      const Int32 o = pick(8);
      w.push_back(o < 5 ? weightOptions[o] : uniform(0, 1));
    }
    rc.weights.push_back(w);
  }

  // Targets: source points, edge points on sub-cell lines, polygon centres, corners, points
  // halfway between grid points, and random points.
  for (Int32 t = 0; t < 60; ++t) {
    const CPolygon& poly =
        rc.sourcePolygons[static_cast<size_t>(pick(static_cast<Int32>(rc.sourcePolygons.size())))];
    const Vector A = rc.sourcePoints[static_cast<size_t>(poly.a)],
                 B = rc.sourcePoints[static_cast<size_t>(poly.b)];
    const Vector C = rc.sourcePoints[static_cast<size_t>(poly.c)],
                 D = rc.sourcePoints[static_cast<size_t>(poly.d)];
    const Float lift = pick(3) == 0 ? 0.0 : (pick(2) ? 0.25 : uniform(-1, 1));
    switch (pick(7)) {
      case 0:
        rc.targetPoints.push_back(rc.sourcePoints[static_cast<size_t>(pick(total))]);
        break;
      case 1:
        rc.targetPoints.push_back(A + (B - A) * (pick(33) / 32.0) + Vector(0, lift, 0));
        break;
      case 2:
        rc.targetPoints.push_back((A + B + C + D) * 0.25 + Vector(0, lift, 0));
        break;
      case 3:
        rc.targetPoints.push_back(A + (B - A) * (pick(33) / 32.0) + (C - B) * (pick(33) / 32.0) +
                                  Vector(0, lift, 0));
        break;
      case 4:
        rc.targetPoints.emplace_back(pick(nx) + 0.5, lift, pick(nz) + 0.5 * pick(2));
        break;
      case 5:
        rc.targetPoints.push_back((A + C) * 0.5 + Vector(0, lift, 0));
        break;
      default:
        rc.targetPoints.emplace_back(uniform(-1, nx), uniform(-1.5, 1.5), uniform(-1, nz));
        break;
    }
  }
  if (pick(2)) {
    rc.sourcePos = Vector(uniform(-5, 5), uniform(-5, 5), uniform(-5, 5));
    rc.sourceRot = Vector(uniform(-3, 3), uniform(-3, 3), uniform(-3, 3));
    rc.sourceScale = Vector(uniform(0.5, 2), uniform(0.5, 2), uniform(0.5, 2));
  }
  // Half of the cases share the matrix, so that world positions coincide exactly.
  if (pick(2)) {
    rc.targetPos = rc.sourcePos;
    rc.targetRot = rc.sourceRot;
    rc.targetScale = rc.sourceScale;
  } else {
    rc.targetPos = Vector(uniform(-0.1, 0.1), 0, 0);
  }
  // Far from the origin, where rounding is coarse relative to the mesh.
  if (pick(5) == 0) {
    const Vector far(uniform(-1e5, 1e5), 3e4, uniform(-1e5, 1e5));
    rc.sourcePos += far;
    rc.targetPos += far;
  }
  return rc;
}

struct RandomRun {
  Int32 search;
  Int32 threads;
};

std::vector<UInt64> RunRandomCase(const RandomCase& rc, Bool surface, Bool local, RandomRun run) {
  Scene scene;
  Mesh source = scene.AddMesh(rc.sourcePoints, rc.sourcePolygons, {0, 1, 2});
  for (size_t p = 0; p < rc.weights.size(); ++p) {
    for (Int32 j = 0; j < 3; ++j)
      source.tag->SetWeight(j, static_cast<Int32>(p), rc.weights[p][static_cast<size_t>(j)]);
  }
  source.op->SetRelPos(rc.sourcePos);
  source.op->SetRelRot(rc.sourceRot);
  source.op->SetRelScale(rc.sourceScale);
  Mesh target = scene.AddMesh(rc.targetPoints, {}, {2, 0, 1});
  target.op->SetRelPos(rc.targetPos);
  target.op->SetRelRot(rc.targetRot);
  target.op->SetRelScale(rc.targetScale);

  WeightTransferSettings s;
  s.document = scene.doc.get();
  s.writeMode = WRITEMODE_REPLACE;
  s.normalize = 0;
  s.surface = surface;
  s.localCoordinates = local;
  s.sourceTagMode = WTTAG_LINK;
  s.sourceTag = source.tag;
  s.targetTagMode = WTTAG_LINK;
  s.targetTag = target.tag;
  s.search = run.search;
  host::SetThreadCount(run.threads);
  scene.doc->StartUndo();
  EXPECT_TRUE(RunWeightTransfer(s));
  scene.doc->EndUndo();
  host::SetThreadCount(-1);
  return Bits(target.tag, static_cast<Int32>(rc.targetPoints.size()));
}

TEST(WeightTransferIndex, RandomMeshesGiveBitIdenticalTagsForEverySearchAndThreadCount) {
  EnsurePluginsRegistered();
  const std::vector<RandomRun> runs = {{WTSEARCH_INDEXED, 0},
                                       {WTSEARCH_INDEXED, 1},
                                       {WTSEARCH_INDEXED, 2},
                                       {WTSEARCH_INDEXED, 7},
                                       {WTSEARCH_EXHAUSTIVE, 7}};
  for (UInt32 seed = 1; seed <= 60; ++seed) {
    const RandomCase rc = MakeRandomCase(seed);
    for (Bool surface : {true, false}) {
      for (Bool local : {false, true}) {
        const std::vector<UInt64> reference =
            RunRandomCase(rc, surface, local, {WTSEARCH_EXHAUSTIVE, 0});
        for (const RandomRun& run : runs) {
          if (run.search == WTSEARCH_EXHAUSTIVE && seed % 5 != 0) continue;  // slow; a few suffice
          ASSERT_EQ(RunRandomCase(rc, surface, local, run), reference)
              << "seed " << seed << " surface " << surface << " local " << local << " search "
              << run.search << " threads " << run.threads;
        }
      }
    }
  }
  host::ClearRecords();
}

/// A bumpy closed tube of quads (some split into triangles) large enough for a deep tree,
/// with target points near it (outside, inside, on its points and edges), coherent in
/// index order like a real mesh's, plus a few far away and some in random order.
RandomCase MakeTubeCase(UInt32 seed) {
  std::mt19937 rng(seed);
  const auto uniform = [&](Float a, Float b) {
    return std::uniform_real_distribution<Float>(a, b)(rng);
  };
  RandomCase rc;
  const Int32 around = 48, along = 40;
  for (Int32 k = 0; k < along; ++k) {
    for (Int32 i = 0; i < around; ++i) {
      const Float a = 2.0 * PI * i / around, y = 0.5 * k;
      const Float r = 3.0 + 0.5 * std::sin(y * 0.7) + 0.3 * std::sin(3 * a + y);
      rc.sourcePoints.emplace_back(r * std::cos(a), y, r * std::sin(a));
    }
  }
  for (Int32 k = 0; k + 1 < along; ++k) {
    for (Int32 i = 0; i < around; ++i) {
      const Int32 a = k * around + i, b = k * around + (i + 1) % around;
      if ((i + k) % 7 == 0) {
        rc.sourcePolygons.emplace_back(a, b, b + around);
        rc.sourcePolygons.emplace_back(a, b + around, a + around);
      } else {
        rc.sourcePolygons.emplace_back(a, b, b + around, a + around);
      }
    }
  }
  for (size_t p = 0; p < rc.sourcePoints.size(); ++p) {
    const Float t = rc.sourcePoints[p].y / 20.0;
    rc.weights.push_back({1.0 - t, t, 0.25 * std::sin(static_cast<Float>(p))});
  }
  const Int32 n = static_cast<Int32>(rc.sourcePoints.size());
  for (Int32 t = 0; t < 400; ++t) {
    const Vector& p = rc.sourcePoints[static_cast<size_t>((t * 5) % n)];
    const Vector& q = rc.sourcePoints[static_cast<size_t>((t * 5 + 1) % n)];
    switch (t % 8) {
      case 0:
        rc.targetPoints.push_back(p);
        break;
      case 1:
        rc.targetPoints.push_back((p + q) * 0.5);
        break;
      case 2:
        rc.targetPoints.push_back(Vector(uniform(-30, 30), uniform(-10, 40), uniform(-30, 30)));
        break;
      default:
        rc.targetPoints.push_back(p * uniform(0.8, 1.2) + Vector(0, uniform(-0.3, 0.3), 0));
        break;
    }
  }
  std::shuffle(rc.targetPoints.begin() + 300, rc.targetPoints.end(), rng);
  rc.sourcePos = Vector(uniform(-5, 5), uniform(-5, 5), uniform(-5, 5));
  rc.sourceRot = Vector(uniform(-3, 3), uniform(-3, 3), uniform(-3, 3));
  rc.targetPos = rc.sourcePos;
  rc.targetRot = rc.sourceRot;
  return rc;
}

TEST(WeightTransferIndex, LargeMeshGivesBitIdenticalTags) {
  EnsurePluginsRegistered();
  for (UInt32 seed = 1; seed <= 2; ++seed) {
    const RandomCase rc = MakeTubeCase(seed);
    for (Bool surface : {true, false}) {
      const std::vector<UInt64> reference =
          RunRandomCase(rc, surface, false, {WTSEARCH_EXHAUSTIVE, 2});
      for (Int32 threads : {0, 2}) {
        ASSERT_EQ(RunRandomCase(rc, surface, false, {WTSEARCH_INDEXED, threads}), reference)
            << "seed " << seed << " surface " << surface << " threads " << threads;
      }
    }
  }
  host::ClearRecords();
}

TEST(WeightTransferIndex, NearSubCellSearchAnswersLikeTheFullScan) {
  std::mt19937 rng(7);
  const auto uniform = [&](Float a, Float b) {
    return std::uniform_real_distribution<Float>(a, b)(rng);
  };
  Int32 hits = 0;
  for (Int32 n = 0; n < 1500; ++n) {
    // Square, skewed, sliver and non-planar quadrangles.
    Vector a(0, 0, 0), b(1, 0, 0), c(1, 0, 1), d(0, 0, 1);
    switch (n % 4) {
      case 1:
        b = Vector(uniform(0.5, 3), uniform(-0.2, 0.2), uniform(-1, 1));
        c = Vector(uniform(0.5, 3), uniform(-0.2, 0.2), uniform(0.5, 3));
        d = Vector(uniform(-1, 1), uniform(-0.2, 0.2), uniform(0.5, 3));
        break;
      case 2:
        b = Vector(10, 0, 0);
        c = Vector(10, 0, uniform(1e-3, 0.05));
        d = Vector(0, 0, uniform(1e-3, 0.05));
        break;
      case 3:
        c = Vector(1, uniform(-0.5, 0.5), 1);
        break;
      default:
        break;
    }
    const Int32 half = (n / 4) % 2;
    Vector es = half == 0 ? b - a : c - d;
    Vector et = half == 0 ? c - b : d - a;
    Vector x;
    switch ((n / 8) % 3) {
      case 0:  // on the cell lattice
        x = a + es * (static_cast<Float>(rng() % 33) / 32.0) +
            et * (static_cast<Float>(rng() % 33) / 32.0);
        break;
      case 1:  // just outside the edge a-b
        x = a + es * uniform(0, 1) - et * uniform(0, 1e-5);
        break;
      default:
        x = a + es * uniform(-0.1, 1.1) + et * uniform(-0.1, 1.1);
        break;
    }
    x += Cross(es, et).GetNormalized() * uniform(-0.5, 0.5);
    SurfaceHit all, near;
    const Bool foundAll = WTSubCellSearchAll(a, b, c, d, half, x, &all);
    const Bool foundNear = WTSubCellSearchNear(a, b, c, d, half, x, &near);
    ASSERT_EQ(foundAll, foundNear) << n;
    if (!foundAll) continue;
    ++hits;
    EXPECT_EQ(std::bit_cast<UInt64>(all.b0), std::bit_cast<UInt64>(near.b0)) << n;
    EXPECT_EQ(std::bit_cast<UInt64>(all.b1), std::bit_cast<UInt64>(near.b1)) << n;
    EXPECT_EQ(std::bit_cast<UInt64>(all.b2), std::bit_cast<UInt64>(near.b2)) << n;
    EXPECT_EQ(all.s0, near.s0) << n;
    EXPECT_EQ(all.t0, near.t0) << n;
    EXPECT_EQ(all.flag, near.flag) << n;
  }
  EXPECT_GT(hits, 300);
}

TEST(WeightTransferIndex, FastTriangleTestAnswersLikeTheAngleSum) {
  std::mt19937 rng(11);
  const auto uniform = [&](Float a, Float b) {
    return std::uniform_real_distribution<Float>(a, b)(rng);
  };
  const auto randomVector = [&](Float r) {
    return Vector(uniform(-r, r), uniform(-r, r), uniform(-r, r));
  };
  Int32 inside = 0, outside = 0;
  for (Int32 n = 0; n < 20000; ++n) {
    // Ordinary, sliver and far-from-the-origin triangles.
    const Vector offset = n % 5 == 0 ? randomVector(1e5) : Vector();
    Vector p0 = offset + randomVector(1), p1 = offset + randomVector(1),
           p2 = offset + randomVector(1);
    if (n % 7 == 0) p2 = p0 + (p1 - p0) * uniform(0, 1) + randomVector(1e-4);
    // Points around the border: on an edge line, just inside or outside it by distances
    // around the angle tolerance's reach, at and near corners, and anywhere.
    const Vector edge = p1 - p0;
    const Vector inward = Cross(Cross(edge, p2 - p0), edge).GetNormalized();
    Vector x;
    switch (n % 4) {
      case 0:
        x = p0 + edge * uniform(-0.2, 1.2) +
            inward * (edge.GetLength() * std::pow(10.0, uniform(-8, -3)) * (rng() % 2 ? 1 : -1));
        break;
      case 1:
        x = (rng() % 2 ? p0 : p2) + randomVector(std::pow(10.0, uniform(-12, -2)));
        break;
      case 2:
        x = p0 + edge * (static_cast<Float>(rng() % 5) / 4.0);
        break;
      default:
        x = p0 + edge * uniform(-0.5, 1.5) + (p2 - p0) * uniform(-0.5, 1.5);
        break;
    }
    x += Cross(edge, p2 - p0).GetNormalized() * uniform(-2, 2);
    Vector proj, projFast;
    Float a0 = 0, a1 = 0, a2 = 0, f0 = 0, f1 = 0, f2 = 0;
    const Bool reference = WTTriangleTest(p0, p1, p2, x, &proj, &a0, &a1, &a2);
    const Bool fast = WTTriangleTestFast(p0, p1, p2, x, &projFast, &f0, &f1, &f2);
    ASSERT_EQ(reference, fast) << n;
    if (!reference) {
      ++outside;
      continue;
    }
    ++inside;
    EXPECT_EQ(std::bit_cast<UInt64>(a0), std::bit_cast<UInt64>(f0)) << n;
    EXPECT_EQ(std::bit_cast<UInt64>(a1), std::bit_cast<UInt64>(f1)) << n;
    EXPECT_EQ(std::bit_cast<UInt64>(a2), std::bit_cast<UInt64>(f2)) << n;
  }
  EXPECT_GT(inside, 2000);
  EXPECT_GT(outside, 2000);
}

}  // namespace
