// The four-influence restriction: which points change, how they are rescaled, which tiny
// weights survive, and what the undo step records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_host_tools.h"
#include "commands/weightcountrestriction.h"
#include "support/plugin_env.h"

namespace {

struct Rig {
  std::unique_ptr<BaseDocument> doc{BaseDocument::Alloc()};
  std::vector<BaseObject*> joints;

  explicit Rig(Int32 jointCount) {
    for (Int32 j = 0; j < jointCount; ++j) {
      BaseObject* joint = BaseObject::Alloc(Ojoint);
      joint->SetName(String("J") + String::IntToString(j));
      doc->InsertObjectLast(joint);
      joints.push_back(joint);
    }
  }

  /// A one-polygon mesh whose weight tag holds `weights[point][joint]`.
  PolygonObject* AddMesh(const std::vector<std::vector<Float>>& weights) {
    const Int32 n = static_cast<Int32>(weights.size());
    PolygonObject* op = PolygonObject::Alloc(n, 1);
    for (Int32 p = 0; p < n; ++p) op->GetPointW()[p] = Vector(p, 0, 0);
    op->GetPolygonW()[0] = CPolygon(0, 0, 0);
    doc->InsertObjectLast(op);
    auto* tag = CAWeightTag::Alloc();
    op->InsertTagLast(tag);
    for (BaseObject* j : joints) tag->AddJoint(j);
    tag->ReservePoints(n);
    for (Int32 p = 0; p < n; ++p) {
      for (size_t j = 0; j < weights[static_cast<size_t>(p)].size(); ++j) {
        tag->SetWeight(static_cast<Int32>(j), p, weights[static_cast<size_t>(p)][j]);
      }
    }
    return op;
  }
};

std::vector<Float> WeightsAt(BaseObject* op, Int32 p) {
  auto* tag = static_cast<CAWeightTag*>(op->GetTag(Tweights));
  std::vector<Float> w;
  for (Int32 j = 0; j < tag->GetJointCount(); ++j) w.push_back(tag->GetWeight(j, p));
  return w;
}

TEST(WeightRestriction, FiveInfluencesKeepTheFourStrongestRescaledToOne) {
  Rig rig(5);
  PolygonObject* op = rig.AddMesh({{0.1, 0.4, 0.1, 0.3, 0.1}});
  ASSERT_TRUE(RestrictWeightCount(op, 4, true));
  const std::vector<Float> w = WeightsAt(op, 0);
  EXPECT_DOUBLE_EQ(w[1], 0.4 / 0.9);
  EXPECT_DOUBLE_EQ(w[3], 0.3 / 0.9);
  // Exactly one of the three equal 0.1 weights is dropped; the other two are rescaled.
  const std::vector<Float> small{w[0], w[2], w[4]};
  EXPECT_EQ(std::count(small.begin(), small.end(), 0.0), 1);
  for (Float v : small) {
    if (v != 0.0) {
      EXPECT_DOUBLE_EQ(v, 0.1 / 0.9);
    }
  }
  Float sum = 0;
  for (Float v : w) sum += v;
  EXPECT_NEAR(sum, 1.0, 1e-15);
}

TEST(WeightRestriction, PointsAtOrUnderTheLimitAreNotNormalised) {
  Rig rig(5);
  // Four influences adding up to 0.7; and four influences plus one below the threshold.
  PolygonObject* op = rig.AddMesh({{0.1, 0.2, 0.3, 0.1, 0.0}, {0.1, 0.2, 0.3, 0.1, 5e-11}});
  ASSERT_TRUE(RestrictWeightCount(op, 4, true));
  EXPECT_EQ(WeightsAt(op, 0), (std::vector<Float>{0.1, 0.2, 0.3, 0.1, 0.0}));
  EXPECT_EQ(WeightsAt(op, 1), (std::vector<Float>{0.1, 0.2, 0.3, 0.1, 5e-11}));
}

TEST(WeightRestriction, WeightsBelowTheThresholdAreNeitherCountedNorCleared) {
  Rig rig(7);
  PolygonObject* op = rig.AddMesh({{0.3, 0.25, 0.2, 0.1, 0.1, 0.05, 5e-11}});
  ASSERT_TRUE(RestrictWeightCount(op, 4, true));
  const std::vector<Float> w = WeightsAt(op, 0);
  EXPECT_DOUBLE_EQ(w[0], 0.3 / 0.85);
  EXPECT_DOUBLE_EQ(w[1], 0.25 / 0.85);
  EXPECT_DOUBLE_EQ(w[2], 0.2 / 0.85);
  // One of the two 0.1 weights survives; the weakest influence is cleared.
  EXPECT_EQ((w[3] == 0.0) + (w[4] == 0.0), 1);
  EXPECT_DOUBLE_EQ(std::max(w[3], w[4]), 0.1 / 0.85);
  EXPECT_EQ(w[5], 0.0);
  EXPECT_EQ(w[6], 5e-11);
}

TEST(WeightRestriction, NotANumberRanksLastEqualWeightsGoInJointOrder) {
  const Float nan = std::numeric_limits<Float>::quiet_NaN();
  const Float s1 = ((0.5 + 0.4) + 0.3) + 0.2;
  const Float s2 = ((0.3 + 0.2) + 0.1) + 0.1;
  struct Case {
    std::vector<Float> before, after;
  };
  for (const Case& c : {
           // Not a number never pushes out a real influence and stays as it was.
           Case{{nan, 0.1, 0.5, 0.2, 0.3, 0.4},
                {nan, 0, 0.5 * (1 / s1), 0.2 * (1 / s1), 0.3 * (1 / s1), 0.4 * (1 / s1)}},
           // Of equal weights, the earlier joints stay.
           Case{{0.2, 0.2, 0.2, 0.2, 0.2}, {0.25, 0.25, 0.25, 0.25, 0}},
           // A negative weight is no influence and is left alone.
           Case{{-0.5, 0.3, 0.2, 0.1, 0.1, 0.1},
                {-0.5, 0.3 * (1 / s2), 0.2 * (1 / s2), 0.1 * (1 / s2), 0.1 * (1 / s2), 0}},
       }) {
    Rig rig(static_cast<Int32>(c.before.size()));
    PolygonObject* op = rig.AddMesh({c.before});
    ASSERT_TRUE(RestrictWeightCount(op, 4, true));
    const std::vector<Float> w = WeightsAt(op, 0);
    for (size_t j = 0; j < w.size(); ++j) {
      SCOPED_TRACE(j);
      if (std::isnan(c.after[j])) {
        EXPECT_TRUE(std::isnan(w[j]));
      } else {
        EXPECT_EQ(w[j], c.after[j]);
      }
    }
  }
}

TEST(WeightRestriction, RefusesNoObjectAndALimitBelowOne) {
  Rig rig(5);
  PolygonObject* op = rig.AddMesh({{0.2, 0.2, 0.2, 0.2, 0.2}});
  EXPECT_FALSE(RestrictWeightCount(nullptr, 4, true));
  EXPECT_FALSE(RestrictWeightCount(op, 0, true));
  EXPECT_EQ(WeightsAt(op, 0), (std::vector<Float>{0.2, 0.2, 0.2, 0.2, 0.2}));
  // A polygon object without a weight tag is fine and unchanged.
  PolygonObject* bare = PolygonObject::Alloc(3, 1);
  rig.doc->InsertObjectLast(bare);
  EXPECT_TRUE(RestrictWeightCount(bare, 4, true));
  EXPECT_EQ(bare->GetTag(Tweights), nullptr);
}

TEST(WeightRestriction, CommandRestrictsSelectedMeshesAndChildrenInOneUndoStep) {
  EnsurePluginsRegistered();
  Rig rig(5);
  PolygonObject* parent = rig.AddMesh({{0.2, 0.2, 0.2, 0.2, 0.2}});
  PolygonObject* child = rig.AddMesh({{0.5, 0.1, 0.1, 0.1, 0.1}});
  child->Remove();
  child->InsertUnder(parent);
  PolygonObject* unselected = rig.AddMesh({{0.2, 0.2, 0.2, 0.2, 0.2}});
  PolygonObject* noTag = PolygonObject::Alloc(3, 1);
  rig.doc->InsertObjectLast(noTag);
  BaseObject* null = BaseObject::Alloc(Onull);
  rig.doc->InsertObjectLast(null);

  EXPECT_EQ(host::GetCommandState(ID_WEIGHT_COUNT_RESTRICTION, rig.doc.get()), 0);
  parent->SetBit(BIT_ACTIVE);
  EXPECT_EQ(host::GetCommandState(ID_WEIGHT_COUNT_RESTRICTION, rig.doc.get()), CMD_ENABLED);
  child->SetBit(BIT_ACTIVE);
  noTag->SetBit(BIT_ACTIVE);
  null->SetBit(BIT_ACTIVE);

  const auto* info = host::FindPlugin(ID_WEIGHT_COUNT_RESTRICTION);
  ASSERT_NE(info, nullptr);
  ASSERT_TRUE(info->command->Execute(rig.doc.get()));

  const std::vector<Float> pw = WeightsAt(parent, 0);
  EXPECT_EQ(std::count(pw.begin(), pw.end(), 0.0), 1);
  const std::vector<Float> cw = WeightsAt(child, 0);
  EXPECT_EQ(std::count(cw.begin(), cw.end(), 0.0), 1);
  EXPECT_DOUBLE_EQ(cw[0], 0.5 / 0.8);
  EXPECT_EQ(WeightsAt(unselected, 0), (std::vector<Float>{0.2, 0.2, 0.2, 0.2, 0.2}));

  // One step: the parent, the child and the tagless mesh; the null object is skipped.
  ASSERT_EQ(rig.doc->GetUndoStepCount(), 1);
  EXPECT_EQ(rig.doc->GetUndoStepTypes(0),
            (std::vector<UNDOTYPE>{UNDOTYPE_CHANGE, UNDOTYPE_CHANGE, UNDOTYPE_CHANGE}));
  ASSERT_TRUE(rig.doc->DoUndo());
  EXPECT_EQ(WeightsAt(parent, 0), (std::vector<Float>{0.2, 0.2, 0.2, 0.2, 0.2}));
  EXPECT_EQ(WeightsAt(child, 0), (std::vector<Float>{0.5, 0.1, 0.1, 0.1, 0.1}));
}

TEST(WeightRestriction, EmptySelectionMakesAnEmptyUndoStep) {
  EnsurePluginsRegistered();
  Rig rig(5);
  rig.AddMesh({{0.2, 0.2, 0.2, 0.2, 0.2}});
  const auto* info = host::FindPlugin(ID_WEIGHT_COUNT_RESTRICTION);
  ASSERT_TRUE(info->command->Execute(rig.doc.get()));
  ASSERT_EQ(rig.doc->GetUndoStepCount(), 1);
  EXPECT_TRUE(rig.doc->GetUndoStepTypes(0).empty());
}

}  // namespace
