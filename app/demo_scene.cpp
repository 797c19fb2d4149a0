#include "demo_scene.h"

#include <array>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "OPmxMorph.h"
#include "TPmxBoneOption.h"
#include "TPmxEdge.h"
#include "c4d.h"
#include "png_writer.h"

namespace pmxapp {

namespace {

using OJson = nlohmann::ordered_json;

/// A parameter id as a scene file's "params" key.
std::string Id(Int32 id) { return std::to_string(id); }

struct Uv {
  double u = 0, v = 0;
};

/// An area of the texture: [u0, u1] x [v0, v1].
struct Region {
  double u0, v0, u1, v1;
};
// The texture is split into four areas (see DemoTexturePng).
constexpr Region kFaceArea{0.0, 0.0, 0.5, 0.5};
constexpr Region kHairArea{0.5, 0.0, 1.0, 0.5};
constexpr Region kSkinArea{0.0, 0.5, 0.5, 1.0};
constexpr Region kClothArea{0.5, 0.5, 1.0, 1.0};

using Weights = std::map<std::string, double>;

/// One cross-section of a limb or the torso.
struct Ring {
  Vector center;
  double r1, r2;  // radii across the limb
  Weights weights;
};

class MeshBuilder {
 public:
  /// A tube through `rings` (along Y or along X), closed with a fan at each end.
  void Tube(const std::vector<Ring>& rings, bool alongX, int sides, const Region& area,
            const char* selection) {
    std::vector<std::vector<int>> ids;
    for (const Ring& r : rings) {
      std::vector<int> ring;
      for (int k = 0; k < sides; ++k) {
        const double a = 2 * PI * k / sides;
        const Vector off = alongX ? Vector(0, std::cos(a) * r1Of(r), std::sin(a) * r.r2)
                                  : Vector(std::cos(a) * r.r1, 0, std::sin(a) * r.r2);
        ring.push_back(AddPoint(r.center + off, r.weights));
      }
      ids.push_back(ring);
    }
    const double du = (area.u1 - area.u0) / sides;
    const double dv = (area.v1 - area.v0) / static_cast<double>(rings.size() - 1);
    for (size_t i = 0; i + 1 < rings.size(); ++i) {
      const Vector axisMid = (rings[i].center + rings[i + 1].center) * 0.5;
      for (int k = 0; k < sides; ++k) {
        const int k1 = (k + 1) % sides;
        std::array<int, 4> q = {ids[i][k], ids[i + 1][k], ids[i + 1][k1], ids[i][k1]};
        std::array<Uv, 4> uv = {Uv{area.u0 + du * k, area.v0 + dv * i},
                                Uv{area.u0 + du * k, area.v0 + dv * (i + 1)},
                                Uv{area.u0 + du * (k + 1), area.v0 + dv * (i + 1)},
                                Uv{area.u0 + du * (k + 1), area.v0 + dv * i}};
        AddPolygon(q, uv, 4, axisMid, selection);
      }
    }
    // End caps: a fan around a centre point a little beyond the last ring.
    for (int end = 0; end < 2; ++end) {
      const size_t ri = end == 0 ? 0 : rings.size() - 1;
      const size_t rn = end == 0 ? 1 : rings.size() - 2;
      const Vector dir = (rings[ri].center - rings[rn].center).GetNormalized();
      const Vector tip = rings[ri].center + dir * (0.3 * std::min(rings[ri].r1, rings[ri].r2));
      const int c = AddPoint(tip, rings[ri].weights);
      const Uv mid{(area.u0 + area.u1) / 2, (area.v0 + area.v1) / 2};
      const double s = 0.2 * (area.u1 - area.u0);
      for (int k = 0; k < sides; ++k) {
        const int k1 = (k + 1) % sides;
        const double a0 = 2 * PI * k / sides, a1 = 2 * PI * k1 / sides;
        std::array<int, 4> t = {c, ids[ri][k], ids[ri][k1], ids[ri][k1]};
        std::array<Uv, 4> uv = {mid, Uv{mid.u + s * std::cos(a0), mid.v + s * std::sin(a0)},
                                Uv{mid.u + s * std::cos(a1), mid.v + s * std::sin(a1)}, Uv{}};
        uv[3] = uv[2];
        AddPolygon(t, uv, 3, rings[ri].center - dir, selection);
      }
    }
  }

  /// A rounded head: a subdivided cube pushed onto an ellipsoid. Polygons facing the front
  /// (-Z) take the face area of the texture and join `faceSelection`; the rest take the hair.
  void Head(const Vector& center, double radius, double height, int divisions,
            const Weights& weights, const char* faceSelection) {
    std::map<std::array<int, 3>, int> lattice;
    auto point = [&](int i, int j, int k) {
      std::array<int, 3> key = {i, j, k};
      auto it = lattice.find(key);
      if (it != lattice.end()) return it->second;
      Vector p(2.0 * i / divisions - 1, 2.0 * j / divisions - 1, 2.0 * k / divisions - 1);
      p = p.GetNormalized();
      const int id = AddPoint(center + Vector(p.x * radius, p.y * height, p.z * radius), weights);
      lattice.emplace(key, id);
      return id;
    };
    for (int axis = 0; axis < 3; ++axis) {
      for (int side = 0; side <= divisions; side += divisions) {
        for (int a = 0; a < divisions; ++a) {
          for (int b = 0; b < divisions; ++b) {
            auto at = [&](int da, int db) {
              int c[3];
              c[axis] = side;
              c[(axis + 1) % 3] = a + da;
              c[(axis + 2) % 3] = b + db;
              return point(c[0], c[1], c[2]);
            };
            std::array<int, 4> q = {at(0, 0), at(1, 0), at(1, 1), at(0, 1)};
            Vector mid;
            for (int id : q) mid += points_[static_cast<size_t>(id)];
            mid = mid * 0.25;
            const Vector dir = (mid - center).GetNormalized();
            const bool face = dir.z < -0.45 && dir.y < 0.4;  // hair over the forehead
            const Region& area = face ? kFaceArea : kHairArea;
            std::array<Uv, 4> uv;
            for (int n = 0; n < 4; ++n) {
              const Vector& p = points_[static_cast<size_t>(q[static_cast<size_t>(n)])];
              const double cu = (area.u0 + area.u1) / 2, cv = (area.v0 + area.v1) / 2;
              const double s = 0.48 * (area.u1 - area.u0);
              uv[static_cast<size_t>(n)] =
                  Uv{cu + s * (p.x - center.x) / radius, cv - s * (p.y - center.y) / height};
            }
            AddPolygon(q, uv, 4, center, face ? faceSelection : nullptr);
          }
        }
      }
    }
  }

  /// The polygon object with its UVW, phong, selection, texture, weight and edge tags.
  OJson Object(const char* name, const std::vector<std::string>& joints,
               const std::vector<std::pair<std::string, std::string>>& textureTags) const {
    OJson o = OJson::object();
    o["type"] = "polygon";
    o["name"] = name;
    OJson pts = OJson::array();
    for (const Vector& p : points_) pts.push_back({Round(p.x), Round(p.y), Round(p.z)});
    o["points"] = pts;
    OJson polys = OJson::array();
    for (const auto& p : polygons_) {
      if (p[2] == p[3]) {
        polys.push_back({p[0], p[1], p[2]});
      } else {
        polys.push_back({p[0], p[1], p[2], p[3]});
      }
    }
    o["polygons"] = polys;
    OJson tags = OJson::array();
    OJson uvw = OJson::array();
    for (size_t i = 0; i < uvs_.size(); ++i) {
      OJson corners = OJson::array();
      const int n = polygons_[i][2] == polygons_[i][3] ? 3 : 4;
      for (int k = 0; k < n; ++k) {
        const Uv& t = uvs_[i][static_cast<size_t>(k)];
        corners.push_back({Round(t.u), Round(t.v)});
      }
      uvw.push_back(corners);
    }
    tags.push_back({{"type", "uvw"}, {"uvw", uvw}});
    tags.push_back({{"type", "phong"}, {"angle", 60}, {"limit", true}});
    for (const auto& [selection, polygons] : selections_)
      tags.push_back({{"type", "polygonselection"}, {"name", selection}, {"indices", polygons}});
    for (const auto& [material, restriction] : textureTags) {
      OJson t = {{"type", "texture"}, {"material", material}};
      if (!restriction.empty()) t["restriction"] = restriction;
      tags.push_back(t);
    }
    OJson weights = OJson::array();
    for (const std::string& j : joints) {
      OJson w = OJson::array();
      for (const Weights& pw : weights_) {
        auto it = pw.find(j);
        w.push_back(it == pw.end() ? 0.0 : it->second);
      }
      weights.push_back(w);
    }
    tags.push_back({{"type", "weights"}, {"joints", joints}, {"weights", weights}});
    tags.push_back({{"type", "pmxedge"},
                    {"params",
                     {{Id(PMX_EDGE_DRAW), true},
                      {Id(PMX_EDGE_SIZE), 0.6},
                      {Id(PMX_EDGE_COLOR), {0.32, 0.2, 0.18}}}}});
    o["tags"] = tags;
    return o;
  }

 private:
  static double r1Of(const Ring& r) { return r.r1; }
  static double Round(double v) { return std::round(v * 10000.0) / 10000.0; }

  int AddPoint(const Vector& p, const Weights& w) {
    points_.push_back(p);
    weights_.push_back(w);
    return static_cast<int>(points_.size()) - 1;
  }

  /// Adds a polygon wound so that its normal points away from `inside`.
  void AddPolygon(std::array<int, 4> p, std::array<Uv, 4> uv, int corners, const Vector& inside,
                  const char* selection) {
    auto P = [&](int i) { return points_[static_cast<size_t>(p[static_cast<size_t>(i)])]; };
    const Vector n =
        corners == 3 ? Cross(P(1) - P(0), P(2) - P(0)) : Cross(P(2) - P(0), P(3) - P(1));
    const Vector mid =
        corners == 3 ? (P(0) + P(1) + P(2)) * (1.0 / 3) : (P(0) + P(1) + P(2) + P(3)) * 0.25;
    if (Dot(n, mid - inside) < 0) {
      if (corners == 3) {
        std::swap(p[1], p[2]);
        std::swap(uv[1], uv[2]);
        p[3] = p[2];
        uv[3] = uv[2];
      } else {
        std::swap(p[1], p[3]);
        std::swap(uv[1], uv[3]);
      }
    }
    if (selection) selections_[selection].push_back(static_cast<int>(polygons_.size()));
    polygons_.push_back(p);
    uvs_.push_back(uv);
  }

  std::vector<Vector> points_;
  std::vector<Weights> weights_;
  std::vector<std::array<int, 4>> polygons_;
  std::vector<std::array<Uv, 4>> uvs_;
  std::map<std::string, std::vector<int>> selections_;
};

OJson Joint(const char* name, const Vector& pos, const char* boneName, const char* english,
            OJson children = OJson::array(), bool movable = false) {
  OJson params = {{Id(PMX_BONE_NAME), boneName}, {Id(PMX_BONE_NAME_ENGLISH), english}};
  if (movable) params[Id(PMX_BONE_MOVABLE)] = true;
  OJson j = {{"type", "joint"},
             {"name", name},
             {"pos", {pos.x, pos.y, pos.z}},
             {"tags", OJson::array({{{"type", "pmxboneoption"}, {"params", params}}})}};
  if (!children.empty()) j["children"] = children;
  return j;
}

/// Left and right versions of a limb's joints: the left one at +X, as MMD models have it.
OJson Arm(bool left) {
  const double s = left ? 1 : -1;
  const char* side = left ? "L" : "R";
  const char* jp = left ? "左" : "右";
  auto n = [&](const char* base) { return std::string(base) + side; };
  auto b = [&](const char* base) { return std::string(jp) + base; };
  return Joint(n("Shoulder").c_str(), Vector(s * 12, 32, 0), b("腕").c_str(),
               (std::string(left ? "arm_L" : "arm_R")).c_str(),
               {Joint(n("Elbow").c_str(), Vector(s * 25, 0, 0), b("ひじ").c_str(),
                      left ? "elbow_L" : "elbow_R",
                      {Joint(n("Wrist").c_str(), Vector(s * 23, 0, 0), b("手首").c_str(),
                             left ? "wrist_L" : "wrist_R",
                             {Joint(n("HandTip").c_str(), Vector(s * 8, 0, 0), b("手先").c_str(),
                                    left ? "hand_tip_L" : "hand_tip_R")})})});
}

OJson Leg(bool left) {
  const double s = left ? 1 : -1;
  const char* side = left ? "L" : "R";
  const char* jp = left ? "左" : "右";
  auto n = [&](const char* base) { return std::string(base) + side; };
  auto b = [&](const char* base) { return std::string(jp) + base; };
  return Joint(
      n("Leg").c_str(), Vector(s * 8, -4, 0), b("足").c_str(), left ? "leg_L" : "leg_R",
      {Joint(n("Knee").c_str(), Vector(0, -38, 0), b("ひざ").c_str(), left ? "knee_L" : "knee_R",
             {Joint(n("Ankle").c_str(), Vector(0, -40, 0), b("足首").c_str(),
                    left ? "ankle_L" : "ankle_R",
                    {Joint(n("Toe").c_str(), Vector(0, -7, -7), b("つま先").c_str(),
                           left ? "toe_L" : "toe_R")})})});
}

Weights W(const char* a, double wa = 1.0, const char* b = nullptr) {
  Weights w{{a, wa}};
  if (b) w[b] = 1.0 - wa;
  return w;
}

}  // namespace

/// A morph target of the head: a copy of its points (no tags), each moved by `move` as a
/// function of its place relative to the head's centre, in units of the head's radii.
template <typename Move>
OJson HeadExpression(const OJson& head, const char* name, const Vector& center, double radius,
                     double height, Move move) {
  OJson points = OJson::array();
  for (const auto& p : head["points"]) {
    const Vector at(p[0].get<double>(), p[1].get<double>(), p[2].get<double>());
    const Vector rel((at.x - center.x) / radius, (at.y - center.y) / height,
                     (at.z - center.z) / radius);
    const Vector to = at + move(rel);
    auto round = [](double v) { return std::round(v * 10000.0) / 10000.0; };
    points.push_back({round(to.x), round(to.y), round(to.z)});
  }
  return OJson{
      {"type", "polygon"}, {"name", name}, {"points", points}, {"polygons", head["polygons"]}};
}

std::string DemoSceneText(const std::string& textureName) {
  // Joint positions (world): Center (0, 84, 0), UpperBody (0, 94, 0), Neck (0, 132, 0),
  // Head (0, 142, 0), Shoulder (±12, 126, 0), Elbow (±37, 126, 0), Wrist (±60, 126, 0),
  // LowerBody (0, 90, 0), Leg (±8, 86, 0), Knee (±8, 48, 0), Ankle (±8, 8, 0).
  OJson skeleton =
      Joint("Center", Vector(0, 84, 0), "センター", "center",
            {Joint("UpperBody", Vector(0, 10, 0), "上半身", "upper body",
                   {Joint("Neck", Vector(0, 38, 0), "首", "neck",
                          {Joint("Head", Vector(0, 10, 0), "頭", "head",
                                 {Joint("HeadTip", Vector(0, 22, 0), "頭先", "head tip")})}),
                    Arm(true), Arm(false)}),
             Joint("LowerBody", Vector(0, 6, 0), "下半身", "lower body", {Leg(true), Leg(false)})},
            true);

  MeshBuilder body;
  body.Tube({{Vector(0, 84, 0), 12, 8, W("LowerBody")},
             {Vector(0, 96, 0), 11, 7.5, W("LowerBody", 0.5, "UpperBody")},
             {Vector(0, 110, 0), 10.5, 7, W("UpperBody")},
             {Vector(0, 124, 0), 13, 8, W("UpperBody")},
             {Vector(0, 131, 0), 6, 5, W("UpperBody", 0.5, "Neck")},
             {Vector(0, 141, 0), 3.5, 3.5, W("Neck")}},
            false, 8, kClothArea, "Shirt");
  for (int side = -1; side <= 1; side += 2) {
    const bool left = side > 0;
    auto j = [&](const char* base) { return std::string(base) + (left ? "L" : "R"); };
    const std::string leg = j("Leg"), knee = j("Knee"), ankle = j("Ankle");
    body.Tube({{Vector(side * 7.5, 88, 0), 6.5, 6.5, W("LowerBody", 0.5, leg.c_str())},
               {Vector(side * 8, 70, 0), 6, 6, W(leg.c_str())},
               {Vector(side * 8, 48, 0), 4.5, 4.5, W(leg.c_str(), 0.5, knee.c_str())},
               {Vector(side * 8, 26, 0), 4, 4, W(knee.c_str())},
               {Vector(side * 8, 8, 0), 3, 3, W(knee.c_str(), 0.5, ankle.c_str())},
               {Vector(side * 8, 2, -2), 3.5, 5, W(ankle.c_str())}},
              false, 8, kSkinArea, nullptr);
    const std::string shoulder = j("Shoulder"), elbow = j("Elbow"), wrist = j("Wrist");
    body.Tube({{Vector(side * 12, 126, 0), 4.5, 4.5, W("UpperBody", 0.5, shoulder.c_str())},
               {Vector(side * 25, 126, 0), 4, 4, W(shoulder.c_str())},
               {Vector(side * 37, 126, 0), 3.5, 3.5, W(shoulder.c_str(), 0.5, elbow.c_str())},
               {Vector(side * 50, 126, 0), 3.2, 3.2, W(elbow.c_str())},
               {Vector(side * 60, 126, 0), 2.8, 2.8, W(elbow.c_str(), 0.5, wrist.c_str())},
               {Vector(side * 67, 126, 0), 2.5, 1.5, W(wrist.c_str())}},
              true, 8, kSkinArea, nullptr);
  }
  std::vector<std::string> bodyJoints = {"LowerBody", "UpperBody", "Neck"};
  for (const char* side : {"L", "R"}) {
    for (const char* base : {"Leg", "Knee", "Ankle", "Shoulder", "Elbow", "Wrist"})
      bodyJoints.push_back(std::string(base) + side);
  }

  MeshBuilder head;
  head.Head(Vector(0, 152, 0), 11, 12, 4, W("Head"), "Face");

  // The head is the base of a morph object whose targets become the model's expressions
  // (vertex morphs); the front of the face looks along -Z.
  const Vector headCenter(0, 152, 0);
  const OJson headMesh = head.Object("HeadMesh", {"Head"}, {{"髪", ""}, {"肌", "Face"}});
  auto expression = [&](const char* name, auto move) {
    return HeadExpression(headMesh, name, headCenter, 11, 12, move);
  };
  const auto front = [](const Vector& r) { return r.z < -0.5; };
  OJson expressions = {
      {"type", "pmxmorph"},
      {"name", "Expressions"},
      {"params",
       {{Id(PMXMORPH_STRENGTH), 0.0},
        {Id(PMXMORPH_STRENGTH + 1), 0.0},
        {Id(PMXMORPH_STRENGTH + 2), 0.0}}},
      {"children",
       OJson::array({headMesh,
                     // Mouth open: the lower front drops and comes forward a little.
                     expression("あ",
                                [&](const Vector& r) {
                                  return front(r) && r.y < -0.2 ? Vector(0, -1.6, -0.4) : Vector();
                                }),
                     // Wide mouth: the lower front widens.
                     expression("い",
                                [&](const Vector& r) {
                                  return front(r) && r.y < -0.2 ? Vector(r.x * 1.4, 0, 0)
                                                                : Vector();
                                }),
                     // Smile: the corners of the lower front rise.
                     expression("笑い", [&](const Vector& r) {
                       return front(r) && r.y < 0.2 ? Vector(0, 1.2 * std::abs(r.x), 0) : Vector();
                     })})}};

  auto material = [](const char* name, OJson color, OJson luminance) {
    return OJson{{"name", name},
                 {"color", color},
                 {"luminance", luminance},
                 {"specular", {{"on", true}, {"color", {0.12, 0.1, 0.1}}, {"brightness", 12.0}}}};
  };
  OJson materials = OJson::array(
      {material("肌",
                {{"on", true}, {"color", {1, 1, 1}}, {"brightness", 1.0}, {"texture", textureName}},
                {{"on", true}, {"color", {1, 0.85, 0.8}}, {"brightness", 0.6}}),
       material("髪",
                {{"on", true}, {"color", {1, 1, 1}}, {"brightness", 1.0}, {"texture", textureName}},
                {{"on", true}, {"color", {0.5, 0.4, 0.35}}, {"brightness", 0.5}}),
       material("服",
                {{"on", true}, {"color", {1, 1, 1}}, {"brightness", 1.0}, {"texture", textureName}},
                {{"on", true}, {"color", {0.3, 0.35, 0.6}}, {"brightness", 0.5}})});

  OJson scene = {
      {"scene", 1},
      {"document", {{"unit", {1, "cm"}}, {"mode", "model"}}},
      {"materials", materials},
      {"objects",
       OJson::array({{{"type", "null"},
                      {"name", "Character"},
                      {"children", OJson::array({skeleton,
                                                 body.Object("BodyMesh", bodyJoints,
                                                             {{"肌", ""}, {"服", "Shirt"}}),
                                                 expressions})}}})}};
  return scene.dump(1);
}

std::vector<std::uint8_t> DemoTexturePng() {
  constexpr int kSize = 128;
  std::vector<std::uint8_t> rgb(static_cast<size_t>(kSize) * kSize * 3);
  auto set = [&](int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= kSize || y >= kSize) return;
    auto* p = &rgb[(static_cast<size_t>(y) * kSize + static_cast<size_t>(x)) * 3];
    p[0] = static_cast<std::uint8_t>(r);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(b);
  };
  auto inEllipse = [](int x, int y, double cx, double cy, double rx, double ry) {
    const double dx = (x + 0.5 - cx) / rx, dy = (y + 0.5 - cy) / ry;
    return dx * dx + dy * dy <= 1.0;
  };
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      if (y < 64 && x < 64) {
        // Face: skin, eyes with a highlight, brows, blush and a small mouth.
        int r = 255, g = 226, b = 204;
        if (inEllipse(x, y, 14, 41, 6, 3.5) || inEllipse(x, y, 50, 41, 6, 3.5)) {
          r = 250, g = 190, b = 185;
        }
        for (double cx : {21.0, 43.0}) {
          if (inEllipse(x, y, cx, 30, 4.5, 6.5)) r = 60, g = 40, b = 90;
          if (inEllipse(x, y, cx, 32, 2.5, 3.5)) r = 120, g = 80, b = 170;
          if (inEllipse(x, y, cx - 1.5, 27.5, 1.5, 1.5)) r = 255, g = 255, b = 255;
          if (y == 21 && x >= cx - 5 && x <= cx + 5) r = 110, g = 70, b = 50;
        }
        if (inEllipse(x, y, 32, 47, 4, 1.6) && !inEllipse(x, y, 32, 46, 4, 1.2)) {
          r = 200, g = 80, b = 90;
        }
        set(x, y, r, g, b);
      } else if (y < 64) {
        // Hair: brown with lighter strands.
        const bool strand = (x * 7 + y / 3) % 9 == 0;
        set(x, y, strand ? 140 : 96, strand ? 92 : 60, strand ? 60 : 38);
      } else if (x < 64) {
        // Skin for the limbs, slightly shaded towards the edges.
        const int shade = static_cast<int>(12 * std::abs(x - 31.5) / 32.0);
        set(x, y, 255 - shade, 226 - shade, 204 - shade);
      } else {
        // Cloth: blue with white stripes.
        const bool stripe = (y / 6) % 3 == 0;
        set(x, y, stripe ? 235 : 64, stripe ? 240 : 96, stripe ? 250 : 216);
      }
    }
  }
  return EncodePngRgb(kSize, kSize, rgb);
}

}  // namespace pmxapp
