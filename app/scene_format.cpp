#include "scene_format.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "c4d_symbols.h"

namespace pmxapp::scene {

const std::vector<NamedValue>& ObjectTypeNames() {
  static const std::vector<NamedValue> t = {{"polygon", Opolygon},
                                            {"null", Onull},
                                            {"joint", Ojoint},
                                            {"pmxmorph", ID_PMXMORPHOBJECT},
                                            {"camera", Ocamera}};
  return t;
}

const std::vector<NamedValue>& TagTypeNames() {
  static const std::vector<NamedValue> t = {
      {"uvw", Tuvw},
      {"phong", Tphong},
      {"normal", Tnormal},
      {"texture", Ttexture},
      {"polygonselection", Tpolygonselection},
      {"pointselection", Tpointselection},
      {"edgeselection", Tedgeselection},
      {"weights", Tweights},
      {"vertexmap", Tvertexmap},
      {"pmxboneoption", ID_PMX_BONE_OPTION_TAG},
      {"pmxedge", ID_PMX_EDGE_TAG},
      {"display", Tdisplay},
      {"edgeunderscore", ID_EDGE_UNDERSCORE_TAG},
  };
  return t;
}

const std::vector<NamedValue>& DocumentModeNames() {
  static const std::vector<NamedValue> t = {{"object", Mobject},
                                            {"model", Mmodel},
                                            {"points", Mpoints},
                                            {"edges", Medges},
                                            {"polygons", Mpolygons}};
  return t;
}

const std::vector<NamedValue>& RotationOrderNames() {
  static const std::vector<NamedValue> t = {
      {"hpb", ROTATIONORDER_HPB},
      {"yxzglobal", ROTATIONORDER_YXZGLOBAL},
      {"yzxglobal", ROTATIONORDER_YZXGLOBAL},
      {"zyxglobal", ROTATIONORDER_ZYXGLOBAL},
      {"zxyglobal", ROTATIONORDER_ZXYGLOBAL},
      {"xzyglobal", ROTATIONORDER_XZYGLOBAL},
      {"xyzglobal", ROTATIONORDER_XYZGLOBAL},
      {"yxzlocal", ROTATIONORDER_YXZLOCAL},
      {"yzxlocal", ROTATIONORDER_YZXLOCAL},
      {"zyxlocal", ROTATIONORDER_ZYXLOCAL},
      {"zxylocal", ROTATIONORDER_ZXYLOCAL},
      {"xzylocal", ROTATIONORDER_XZYLOCAL},
      {"xyzlocal", ROTATIONORDER_XYZLOCAL},
  };
  return t;
}

const std::vector<NamedValue>& VisibilityNames() {
  static const std::vector<NamedValue> t = {
      {"default", MODE_UNDEF}, {"on", MODE_ON}, {"off", MODE_OFF}};
  return t;
}

const std::vector<NamedValue>& ChannelNames() {
  static const std::vector<NamedValue> t = {
      {"color", CHANNEL_COLOR},
      {"luminance", CHANNEL_LUMINANCE},
      {"transparency", CHANNEL_TRANSPARENCY},
      {"reflection", CHANNEL_REFLECTION},
      {"environment", CHANNEL_ENVIRONMENT},
      {"fog", CHANNEL_FOG},
      {"bump", CHANNEL_BUMP},
      {"alpha", CHANNEL_ALPHA},
      {"specular", CHANNEL_SPECULAR},
      {"specularcolor", CHANNEL_SPECULARCOLOR},
      {"glow", CHANNEL_GLOW},
      {"displacement", CHANNEL_DISPLACEMENT},
      {"diffusion", CHANNEL_DIFFUSION},
      {"normal", CHANNEL_NORMAL},
  };
  return t;
}

const std::vector<NamedValue>& BitNames() {
  // BIT_ACTIVE is written as "selected" / "active", not as a bit.
  static const std::vector<NamedValue> t = {{"control", BIT_CONTROLOBJECT},
                                            {"ignoredraw", BIT_IGNOREDRAW}};
  return t;
}

const std::vector<NamedValue>& DisplayModeNames() {
  static const std::vector<NamedValue> t = {
      {"gouraud", DISPLAYMODE_GOURAUD},
      {"quick", DISPLAYMODE_QUICK},
      {"wire", DISPLAYMODE_WIRE},
      {"isoparm", DISPLAYMODE_ISOPARM},
      {"shadedbox", DISPLAYMODE_SHADEDBOX},
      {"box", DISPLAYMODE_BOX},
      {"skeleton", DISPLAYMODE_SKELETON},
      {"gouraudwire", DISPLAYMODE_GOURAUDWIRE},
      {"gouraudisoparm", DISPLAYMODE_GOURAUDISOPARM},
      {"quickwire", DISPLAYMODE_QUICKWIRE},
      {"quickisoparm", DISPLAYMODE_QUICKISOPARM},
      {"flatwire", DISPLAYMODE_FLATWIRE},
      {"flatisoparm", DISPLAYMODE_FLATISOPARM},
      {"hiddenwire", DISPLAYMODE_HIDDENWIRE},
      {"hiddenisoparm", DISPLAYMODE_HIDDENISOPARM},
  };
  return t;
}

std::optional<Int32> FindValue(const std::vector<NamedValue>& table, std::string_view name) {
  for (const auto& e : table) {
    if (e.name == name) return e.value;
  }
  return std::nullopt;
}

std::string_view FindName(const std::vector<NamedValue>& table, Int32 value) {
  for (const auto& e : table) {
    if (e.value == value) return e.name;
  }
  return {};
}

std::string JoinNames(const std::vector<NamedValue>& table) {
  std::string s;
  for (const auto& e : table) {
    if (!s.empty()) s += ", ";
    s += '"';
    s += e.name;
    s += '"';
  }
  return s;
}

namespace {

struct UnitEntry {
  std::string_view name;
  DOCUMENT_UNIT unit;
};

constexpr UnitEntry kUnits[] = {
    {"km", DOCUMENT_UNIT::KM},   {"m", DOCUMENT_UNIT::M},     {"cm", DOCUMENT_UNIT::CM},
    {"mm", DOCUMENT_UNIT::MM},   {"um", DOCUMENT_UNIT::UM},   {"nm", DOCUMENT_UNIT::NM},
    {"mi", DOCUMENT_UNIT::MILE}, {"yd", DOCUMENT_UNIT::YARD}, {"ft", DOCUMENT_UNIT::FOOT},
    {"in", DOCUMENT_UNIT::INCH},
};

std::string Format(double v, int precision) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*g", precision, v);
  return buf;
}

}  // namespace

std::optional<DOCUMENT_UNIT> ParseUnitName(std::string_view name) {
  if (name == "\xC2\xB5m" || name == "\xCE\xBCm") return DOCUMENT_UNIT::UM;  // micro / mu sign
  for (const auto& u : kUnits) {
    if (u.name == name) return u.unit;
  }
  return std::nullopt;
}

std::string_view UnitName(DOCUMENT_UNIT unit) {
  for (const auto& u : kUnits) {
    if (u.unit == unit) return u.name;
  }
  return {};
}

std::optional<UnitScaleData> ParseUnitScale(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  size_t n = 0;
  while (n < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[n])) || text[n] == '.' || text[n] == 'e' ||
          text[n] == 'E' || text[n] == '+' || text[n] == '-')) {
    // An exponent sign only follows an 'e'; anything else ends the number.
    if ((text[n] == '+' || text[n] == '-') && n > 0 && text[n - 1] != 'e' && text[n - 1] != 'E')
      break;
    // An 'e' starts an exponent only when a digit or a sign follows it.
    if ((text[n] == 'e' || text[n] == 'E') &&
        (n + 1 >= text.size() || !(std::isdigit(static_cast<unsigned char>(text[n + 1])) ||
                                   text[n + 1] == '+' || text[n + 1] == '-')))
      break;
    ++n;
  }
  if (n == 0) return std::nullopt;
  double value = 0;
  std::string_view number = text.substr(0, n);
  if (number.front() == '+') number.remove_prefix(1);
  auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || ptr != number.data() + number.size()) return std::nullopt;
  if (!std::isfinite(value) || value <= 0) return std::nullopt;
  std::string_view unit = text.substr(n);
  while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
  while (!unit.empty() && unit.back() == ' ') unit.remove_suffix(1);
  // People type "8CM" as often as "8cm".
  std::string lower(unit);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto u = ParseUnitName(lower);
  if (!u) return std::nullopt;
  return UnitScaleData(value, *u);
}

std::filesystem::path NormalDocumentPath(const std::filesystem::path& p) {
  std::filesystem::path n = p.lexically_normal();
  if (!n.has_filename() && n.has_relative_path()) n = n.parent_path();
  return n;
}

double ShortestForFloat32(Float32 v) {
  if (!std::isfinite(v)) return v;
  // No decimal shorter than the float's own shortest text reads back as the float, so the
  // search for the fewest significant digits (rounded as %g rounds) starts at its length.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  int digits = 0;
  for (const char* c = buf; c < r.ptr && *c != 'e'; ++c) digits += *c >= '0' && *c <= '9';
  for (int p = std::max(digits, 1); p <= 9; ++p) {
    r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(v), std::chars_format::general, p);
    double d = 0;
    std::from_chars(buf, r.ptr, d);
    if (static_cast<Float32>(d) == v) return d;
  }
  return v;
}

double DegreesFor(Float rad) {
  const double d0 = Deg(rad);
  if (!std::isfinite(d0)) return d0;
  // Deg and Rad are not exact inverses; a neighbour of Deg(rad) may be the one that maps back.
  double candidates[9];
  candidates[0] = d0;
  double up = d0, down = d0;
  for (int i = 1; i < 9; i += 2) {
    up = std::nextafter(up, HUGE_VAL);
    down = std::nextafter(down, -HUGE_VAL);
    candidates[i] = up;
    candidates[i + 1] = down;
  }
  for (int p = 1; p <= 17; ++p) {
    for (double c : candidates) {
      double d = std::strtod(Format(c, p).c_str(), nullptr);
      if (Rad(d) == rad) return d;
    }
  }
  return d0;
}

}  // namespace pmxapp::scene

namespace pmxapp::scene {

namespace {

struct IdRegistry {
  std::mutex mutex;
  std::unordered_map<UInt64, std::string> ids;
  size_t pruneAt = 1024;
};

IdRegistry& Ids() {
  static IdRegistry r;
  return r;
}

}  // namespace

void RememberId(const BaseList2D* node, const std::string& id) {
  IdRegistry& r = Ids();
  std::lock_guard<std::mutex> lock(r.mutex);
  // Elements are never told that they die; forget the ones that have, now and then, so the
  // table stays as small as the set of live elements that came from scene files.
  if (r.ids.size() >= r.pruneAt) {
    std::erase_if(r.ids,
                  [](const auto& e) { return BaseList2D::FindByUniqueId(e.first) == nullptr; });
    r.pruneAt = std::max<size_t>(1024, r.ids.size() * 2);
  }
  r.ids[node->GetUniqueId()] = id;
}

std::string RememberedId(const BaseList2D* node) {
  IdRegistry& r = Ids();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.ids.find(node->GetUniqueId());
  return it == r.ids.end() ? std::string() : it->second;
}

}  // namespace pmxapp::scene
