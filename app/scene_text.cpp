#include "scene_text.h"

#include <algorithm>
#include <optional>

namespace pmxapp {

namespace {

using OJson = nlohmann::ordered_json;

constexpr size_t kWidth = 100;

bool IsScalar(const OJson& v) { return !v.is_array() && !v.is_object(); }

std::string ScalarText(const OJson& v) {
  return v.dump(-1, ' ', false, OJson::error_handler_t::replace);
}

/// The one-line form of a value, or nothing when it holds objects inside arrays, is deeper than
/// three levels or is longer than `limit`.
std::optional<std::string> Inline(const OJson& v, size_t limit, int depth = 0) {
  if (IsScalar(v)) return ScalarText(v);
  if (depth >= 3) return std::nullopt;
  std::string s = v.is_array() ? "[" : "{";
  bool first = true;
  if (v.is_array()) {
    for (const auto& e : v) {
      if (e.is_object()) return std::nullopt;
      auto t = Inline(e, limit, depth + 1);
      if (!t) return std::nullopt;
      s += (first ? "" : ", ") + *t;
      first = false;
      if (s.size() > limit) return std::nullopt;
    }
  } else {
    for (const auto& [key, e] : v.items()) {
      auto t = Inline(e, limit, depth + 1);
      if (!t) return std::nullopt;
      s += (first ? "" : ", ") + ScalarText(OJson(key)) + ": " + *t;
      first = false;
      if (s.size() > limit) return std::nullopt;
    }
  }
  s += v.is_array() ? "]" : "}";
  if (s.size() > limit) return std::nullopt;
  return s;
}

void Emit(const OJson& v, size_t indent, size_t column, std::string& out) {
  const size_t room = column < kWidth ? kWidth - column : 0;
  if (IsScalar(v)) {
    out += ScalarText(v);
    return;
  }
  if (v.empty()) {
    out += v.is_array() ? "[]" : "{}";
    return;
  }
  if (auto t = Inline(v, std::max<size_t>(room, 40))) {
    out += *t;
    return;
  }
  const std::string pad(indent + 2, ' ');
  if (v.is_array()) {
    bool allScalar = true;
    for (const auto& e : v) allScalar = allScalar && IsScalar(e);
    out += "[\n";
    if (allScalar) {
      // Long runs of numbers (weights, vertex maps) are filled into lines.
      std::string line;
      for (size_t i = 0; i < v.size(); ++i) {
        std::string item = ScalarText(v[i]) + (i + 1 < v.size() ? "," : "");
        if (!line.empty() && pad.size() + line.size() + 1 + item.size() > kWidth) {
          out += pad + line + "\n";
          line.clear();
        }
        line += (line.empty() ? "" : " ") + item;
      }
      out += pad + line + "\n";
    } else {
      for (size_t i = 0; i < v.size(); ++i) {
        out += pad;
        Emit(v[i], indent + 2, indent + 2, out);
        out += i + 1 < v.size() ? ",\n" : "\n";
      }
    }
    out += std::string(indent, ' ') + "]";
    return;
  }
  out += "{\n";
  size_t i = 0;
  for (const auto& [key, e] : v.items()) {
    std::string k = ScalarText(OJson(key)) + ": ";
    out += pad + k;
    Emit(e, indent + 2, indent + 2 + k.size(), out);
    out += ++i < v.size() ? ",\n" : "\n";
  }
  out += std::string(indent, ' ') + "}";
}

}  // namespace

std::string RenderSceneText(const OJson& root) {
  std::string out;
  Emit(root, 0, 0, out);
  out += '\n';
  return out;
}

}  // namespace pmxapp
