// The benchmarks' scene: a wavy `side` x `side` quad grid with UV islands (seams), phong
// shading, two texture tags restricted to polygon selections and a weight tag of 8 joints with
// up to four influences per point.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "c4d.h"

namespace {

constexpr Int32 kJoints = 8;
constexpr Int32 kIslands = 4;  // UV islands across the grid: seams between them

/// A document holding one `side` x `side` quad grid and its rig.
struct GridScene {
  std::unique_ptr<BaseDocument> doc{BaseDocument::Alloc()};

  explicit GridScene(Int32 side) {
    std::vector<BaseObject*> joints;
    BaseObject* parent = nullptr;
    for (Int32 j = 0; j < kJoints; ++j) {
      BaseObject* joint = BaseObject::Alloc(Ojoint);
      joint->SetName(String("Joint") + String::IntToString(j));
      joint->SetRelPos(Vector(0, j == 0 ? 0 : 100.0 / (kJoints - 1), 0));
      doc->InsertObjectLast(joint, parent);
      joints.push_back(joint);
      parent = joint;
    }

    const Int32 n = side + 1;
    PolygonObject* op = PolygonObject::Alloc(n * n, side * side);
    op->SetName(String("Grid"));
    Vector* p = op->GetPointW();
    for (Int32 y = 0; y < n; ++y) {
      for (Int32 x = 0; x < n; ++x) {
        const Float fx = 100.0 * x / side, fy = 100.0 * y / side;
        p[y * n + x] = Vector(fx, fy, 3.0 * std::sin(fx * 0.2) * std::cos(fy * 0.15));
      }
    }
    CPolygon* q = op->GetPolygonW();
    for (Int32 y = 0; y < side; ++y)
      for (Int32 x = 0; x < side; ++x)
        q[y * side + x] = CPolygon(y * n + x, y * n + x + 1, (y + 1) * n + x + 1, (y + 1) * n + x);

    // UVs: the grid is cut into islands along x, each mapped to its own part of the map.
    UVWTag* uvw = UVWTag::Alloc(side * side);
    const Int32 islandWidth = std::max(1, side / kIslands);
    auto uv = [&](Int32 x, Int32 y, Int32 island) {
      return Vector(0.25 * island + 0.2 * (x - island * islandWidth) / islandWidth,
                    static_cast<Float>(y) / side, 0);
    };
    for (Int32 y = 0; y < side; ++y) {
      for (Int32 x = 0; x < side; ++x) {
        const Int32 island = std::min(kIslands - 1, x / islandWidth);
        uvw->SetSlow(y * side + x, UVWStruct(uv(x, y, island), uv(x + 1, y, island),
                                             uv(x + 1, y + 1, island), uv(x, y + 1, island)));
      }
    }
    op->InsertTagLast(uvw);

    BaseTag* phong = BaseTag::Alloc(Tphong);
    phong->GetDataInstance()->SetBool(PHONGTAG_PHONG_ANGLELIMIT, true);
    phong->GetDataInstance()->SetFloat(PHONGTAG_PHONG_ANGLE, Rad(60.0));
    op->InsertTagLast(phong);

    // Two materials on selections: the lower half, and a band of columns in the upper half
    // (one range per row).
    SelectionTag* lower = SelectionTag::Alloc(Tpolygonselection);
    lower->SetName(String("lower"));
    lower->GetBaseSelect()->SelectAll(0, side * (side / 2) - 1);
    op->InsertTagLast(lower);
    SelectionTag* band = SelectionTag::Alloc(Tpolygonselection);
    band->SetName(String("band"));
    for (Int32 y = side / 2; y < side; ++y)
      band->GetBaseSelect()->SelectAll(y * side + side / 4, y * side + side / 2);
    op->InsertTagLast(band);
    const char* names[] = {"Skin", "Cloth"};
    const char* restrictions[] = {"lower", "band"};
    for (int m = 0; m < 2; ++m) {
      BaseMaterial* mat = BaseMaterial::Alloc(Mmaterial);
      mat->SetName(String(names[m]));
      mat->SetChannelState(CHANNEL_COLOR, true);
      mat->GetChannel(CHANNEL_COLOR)->GetDataInstance()->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1);
      mat->GetChannel(CHANNEL_COLOR)
          ->GetDataInstance()
          ->SetString(BASECHANNEL_TEXTURE, String(names[m]) + String(".png"));
      doc->InsertMaterial(mat);
      TextureTag* tex = TextureTag::Alloc();
      tex->SetMaterial(mat);
      tex->GetDataInstance()->SetString(TEXTURETAG_RESTRICTION, String(restrictions[m]));
      op->InsertTagLast(tex);
    }

    // Weights by height: the two joints around the point and, off the joint heights, two
    // smaller ones (up to four influences).
    CAWeightTag* weights = CAWeightTag::Alloc();
    for (BaseObject* j : joints) weights->AddJoint(j);
    weights->ReservePoints(n * n);
    for (Int32 i = 0; i < n * n; ++i) {
      const Float t = p[i].y / 100.0 * (kJoints - 1);
      const Int32 j = std::min(kJoints - 2, static_cast<Int32>(t));
      const Float f = t - j;
      weights->SetWeight(j, i, (1.0 - f) * 0.8);
      weights->SetWeight(j + 1, i, f * 0.8);
      if (f > 0.1 && f < 0.9) {
        weights->SetWeight((j + 3) % kJoints, i, 0.12);
        weights->SetWeight((j + 5) % kJoints, i, 0.08);
      }
    }
    op->InsertTagLast(weights);
    doc->InsertObjectLast(op);
  }
};

}  // namespace
