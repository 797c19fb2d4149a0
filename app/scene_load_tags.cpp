// Scene files: tags, each checked against the object it sits on.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "c4d_host.h"
#include "c4d_host_threads.h"
#include "scene_loader.h"

namespace pmxapp::sceneload {

using namespace scene;

void Loader::LoadTag(const Json& t, BaseObject* op) {
  CheckObject(t, "a tag object such as {\"type\": \"phong\"}");
  const std::optional<Json> typeJson = Member(t, "type");
  if (!typeJson) Fail("missing \"type\" (one of " + JoinNames(TagTypeNames()) + ", or a number)");
  Int32 type;
  {
    At a(*this, "type");
    type = Named(*typeJson, TagTypeNames(), "tag type");
    if (type == Tpoint || type == Tpolygon)
      Fail("points and polygons are given by the object's \"points\" and \"polygons\"");
  }
  auto* poly = dynamic_cast<PolygonObject*>(op);
  const std::string_view typeName = FindName(TagTypeNames(), type);
  auto needPolygonObject = [&]() {
    if (!poly) Fail("a " + std::string(typeName) + " tag needs a polygon object (with \"points\")");
  };
  std::unique_ptr<BaseTag> tag;
  std::vector<Int32> named;
  switch (type) {
    case Tuvw: {
      CheckKeys(t, {"type", "name", "active", "params", "uvw"});
      needPolygonObject();
      tag.reset(LoadCorners(t, "uvw", poly, true));
      break;
    }
    case Tnormal: {
      CheckKeys(t, {"type", "name", "active", "params", "normals"});
      needPolygonObject();
      tag.reset(LoadCorners(t, "normals", poly, false));
      break;
    }
    case Tphong: {
      CheckKeys(t, {"type", "name", "active", "params", "angle", "limit"});
      tag.reset(BaseTag::Alloc(Tphong));
      BaseContainer* bc = tag->GetDataInstance();
      if (const std::optional<Json> v = Member(t, "limit")) {
        At a(*this, "limit");
        bc->SetBool(PHONGTAG_PHONG_ANGLELIMIT, Boolean(*v));
        named.push_back(PHONGTAG_PHONG_ANGLELIMIT);
      }
      if (const std::optional<Json> v = Member(t, "angle")) {
        At a(*this, "angle");
        bc->SetFloat(PHONGTAG_PHONG_ANGLE, Rad(Angle(*v)));
        named.push_back(PHONGTAG_PHONG_ANGLE);
      }
      break;
    }
    case Ttexture: {
      CheckKeys(t, {"type", "name", "active", "params", "material", "restriction"});
      auto* tex = TextureTag::Alloc();
      tag.reset(tex);
      if (const std::optional<Json> v = Member(t, "material")) {
        At a(*this, "material");
        if (v->is_null()) {
          tex->SetMaterial(nullptr);
        } else {
          Defer(*v, LinkKind::Material,
                [tex](BaseList2D* m) { tex->SetMaterial(static_cast<BaseMaterial*>(m)); });
        }
        named.push_back(TEXTURETAG_MATERIAL);
      }
      if (const std::optional<Json> v = Member(t, "restriction")) {
        At a(*this, "restriction");
        tex->GetDataInstance()->SetString(TEXTURETAG_RESTRICTION, String(Text(*v)));
        named.push_back(TEXTURETAG_RESTRICTION);
      }
      break;
    }
    case Tpolygonselection:
    case Tpointselection:
    case Tedgeselection: {
      CheckKeys(t, {"type", "name", "active", "params", "indices"});
      needPolygonObject();
      auto* st = SelectionTag::Alloc(type);
      tag.reset(st);
      if (const std::optional<Json> v = Member(t, "indices")) {
        At a(*this, "indices");
        if (type == Tpointselection) {
          Selection(*v, st->GetBaseSelect(), poly->GetPointCount(), "point");
        } else if (type == Tpolygonselection) {
          Selection(*v, st->GetBaseSelect(), poly->GetPolygonCount(), "polygon");
        } else {
          Selection(*v, st->GetBaseSelect(), EdgeCount(poly->GetPolygonCount()), "edge");
        }
      }
      break;
    }
    case Tweights: {
      CheckKeys(t, {"type", "name", "active", "params", "joints", "weights"});
      needPolygonObject();
      auto* wt = CAWeightTag::Alloc();
      tag.reset(wt);
      LoadWeights(t, wt, poly->GetPointCount());
      break;
    }
    case Tvertexmap: {
      CheckKeys(t, {"type", "name", "active", "params", "values"});
      needPolygonObject();
      const std::optional<Json> v = Member(t, "values");
      if (!v) Fail("a vertexmap tag needs \"values\" (one number per point)");
      At a(*this, "values");
      const Int32 n = poly->GetPointCount();
      if (!v->is_array() || v->size() != static_cast<size_t>(n))
        Expected("an array of " + std::to_string(n) + " numbers (one per point)", *v);
      auto* vm = VariableTag::Alloc(Tvertexmap, n);
      if (!vm) Fail("the host could not create the vertex map");
      tag.reset(vm);
      Float32* w = vm->Write<Float32>();
      for (Int32 i = 0; i < n; ++i) {
        At b(*this, Index(static_cast<size_t>(i)));
        w[i] = Number32((*v)[static_cast<size_t>(i)]);
      }
      break;
    }
    default: {
      CheckKeys(t, {"type", "name", "active", "params"});
      tag.reset(BaseTag::Alloc(type));
      if (!tag)
        Fail("the plug-in of tag type " + std::to_string(type) + " could not create the tag");
      break;
    }
  }
  if (const std::optional<Json> v = Member(t, "name")) {
    At a(*this, "name");
    tag->SetName(String(Text(*v)));
  }
  if (const std::optional<Json> v = Member(t, "active")) {
    At a(*this, "active");
    if (Boolean(*v)) tag->SetBit(BIT_ACTIVE);
  }
  if (const std::optional<Json> v = Member(t, "params")) {
    At a(*this, "params");
    LoadParams(*v, tag->GetDataInstance(), TypesOf(type), named, {});
  }
  op->InsertTagLast(tag.release());
}

VariableTag* Loader::LoadCorners(const Json& t, const char* key, PolygonObject* poly, bool uvw) {
  const std::optional<Json> v = Member(t, key);
  if (!v)
    Fail(std::string("a ") + (uvw ? "uvw" : "normal") + " tag needs \"" + key +
         "\" (the corners of each polygon)");
  At a(*this, key);
  const Int32 n = poly->GetPolygonCount();
  if (!v->is_array() || v->size() != static_cast<size_t>(n))
    Expected("an array of " + std::to_string(n) + " entries (one per polygon)", *v);
  std::unique_ptr<VariableTag> tag(VariableTag::Alloc(uvw ? Tuvw : Tnormal, n));
  if (!tag) Fail("the host could not create the tag");
  Vector32* w = tag->Write<Vector32>();
  // The corners of polygon i as plain numbers that fit single precision; false for anything
  // else, which the reading below names.
  auto plain = [uvw, w](const Json& c, size_t i) {
    double values[12];
    std::uint8_t lengths[4];
    size_t corners = 0;
    if (!c.ReadNumberRows(values, lengths, 4, 3, &corners) || corners < 3) return false;
    constexpr double kMax = std::numeric_limits<Float32>::max();
    for (size_t k = 0; k < corners; ++k) {
      if (lengths[k] < (uvw ? 2 : 3)) return false;
      for (size_t j = 0; j < lengths[k]; ++j) {
        const double x = values[k * 3 + j];
        if (!std::isfinite(x) || std::abs(x) > kMax) return false;
      }
    }
    Vector32* out = w + i * 4;
    for (size_t k = 0; k < corners; ++k) {
      const double* x = values + k * 3;
      out[k] = Vector32(static_cast<Float32>(x[0]), static_cast<Float32>(x[1]),
                        lengths[k] == 3 ? static_cast<Float32>(x[2]) : 0.0f);
    }
    if (corners == 3) out[3] = out[2];
    return true;
  };
  // A large tag is read in two halves on two threads; if any polygon is not plain, all are
  // read again one by one, which names the first mistake.
  std::atomic<bool> allPlain{true};
  host::InTwoHalves(n, 65536, [&](Int64 begin, Int64 end) {
    const Json rows = *v;  // each half walks its own copy
    for (Int64 i = begin; i < end && allPlain.load(std::memory_order_relaxed); ++i) {
      if (!plain(rows[static_cast<size_t>(i)], static_cast<size_t>(i)))
        allPlain.store(false, std::memory_order_relaxed);
    }
  });
  if (allPlain) return tag.release();
  for (Int32 i = 0; i < n; ++i) {
    At b(*this, Index(static_cast<size_t>(i)));
    const Json& c = (*v)[static_cast<size_t>(i)];
    if (plain(c, static_cast<size_t>(i))) continue;
    if (!c.is_array() || (c.size() != 3 && c.size() != 4))
      Expected("the corners of a polygon: an array of 3 or 4 entries", c);
    for (size_t k = 0; k < c.size(); ++k) {
      At d(*this, Index(k));
      w[static_cast<size_t>(i) * 4 + k] = Vec32(c[k], uvw);
    }
    if (c.size() == 3) w[static_cast<size_t>(i) * 4 + 3] = w[static_cast<size_t>(i) * 4 + 2];
  }
  return tag.release();
}

void Loader::LoadWeights(const Json& t, CAWeightTag* wt, Int32 pointCount) {
  const std::optional<Json> joints = Member(t, "joints");
  const std::optional<Json> weights = Member(t, "weights");
  if (!joints && !weights) return;
  if (!joints) Fail("a weights tag with \"weights\" needs \"joints\" as well");
  if (!weights) Fail("a weights tag with \"joints\" needs \"weights\" as well");
  {
    At a(*this, "joints");
    CheckArray(*joints, "an array of joint names");
  }
  // Weights are kept until the joints are known; the tag then takes them joint by joint.
  auto values = std::make_shared<std::vector<std::vector<Float>>>();
  {
    At a(*this, "weights");
    if (!weights->is_array() || weights->size() != joints->size())
      Expected("an array of " + std::to_string(joints->size()) +
                   " weight arrays (one per joint in \"joints\")",
               *weights);
    for (size_t j = 0; j < weights->size(); ++j) {
      At b(*this, Index(j));
      const Json& w = (*weights)[j];
      if (!w.is_array() || w.size() != static_cast<size_t>(pointCount))
        Expected("an array of " + std::to_string(pointCount) + " weights (one per point)", w);
      std::vector<Float> col(static_cast<size_t>(pointCount));
      size_t n = 0;
      if (w.ReadNumbers(col.data(), col.size(), &n) && n == col.size() &&
          std::all_of(col.begin(), col.end(), [](Float x) { return std::isfinite(x); })) {
        values->push_back(std::move(col));
        continue;
      }
      for (size_t i = 0; i < col.size(); ++i) {
        At c(*this, Index(i));
        col[i] = Number(w[i]);
      }
      values->push_back(std::move(col));
    }
  }
  wt->ReservePoints(pointCount);
  At a(*this, "joints");
  for (size_t k = 0; k < joints->size(); ++k) {
    At b(*this, Index(k));
    Defer((*joints)[k], LinkKind::Object, [this, wt, values, k, where = Path()](BaseList2D* node) {
      auto* joint = static_cast<BaseObject*>(node);
      if (wt->FindJoint(joint) != NOTOK)
        FailAt(where, "the joint " + nlohmann::json(joint->GetName().GetUtf8()).dump() +
                          " is listed twice");
      // The tag takes the list over: a large mesh's weights are not written twice.
      auto& col = (*values)[k];
      if (col.size() == static_cast<size_t>(wt->GetPointCapacity()) &&
          host::AddJointWithWeights(wt, joint, std::move(col)) != NOTOK)
        return;
      const Int32 index = wt->AddJoint(joint);
      for (size_t i = 0; i < col.size(); ++i) wt->SetWeight(index, static_cast<Int32>(i), col[i]);
    });
  }
}

}  // namespace pmxapp::sceneload
