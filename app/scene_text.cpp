#include "scene_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "scene_format.h"

namespace pmxapp {

// ----- arrays of numbers -----

void NumberArrays::Open() {
  if (!open_.empty()) ++tokens_[open_.back()].size;
  open_.push_back(tokens_.size());
  open_chars_.push_back(chars_.size());
  Token t;
  t.size = Token::kArrayBit;
  tokens_.push_back(t);
}

nlohmann::ordered_json NumberArrays::Close() {
  const size_t first = open_.back(), firstChar = open_chars_.back();
  open_.pop_back();
  open_chars_.pop_back();
  Token& t = tokens_[first];
  t.span = static_cast<std::uint32_t>(tokens_.size() - first);
  if (!open_.empty()) return nullptr;
  tops_.emplace_back(first, firstChar);
  return nlohmann::ordered_json::binary({}, tops_.size() - 1);
}

void NumberArrays::Scalar(const char* text, size_t n) {
  if (!open_.empty()) ++tokens_[open_.back()].size;
  chars_.append(text, n);
  Token t;
  t.size = static_cast<std::uint32_t>(n);
  tokens_.push_back(t);
}

namespace {

constexpr size_t kCacheBits = 14;

size_t CacheSlot(std::uint64_t bits) {
  return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - kCacheBits));
}

}  // namespace

bool NumberArrays::Format(double v, char* buf, size_t* n) {
  if (!std::isfinite(v)) {
    std::memcpy(buf, "null", 4);
    *n = 4;
    return false;
  }
  if (v == std::trunc(v) && std::abs(v) < 9.0e15 && !(v == 0 && std::signbit(v))) {
    *n = static_cast<size_t>(std::to_chars(buf, buf + 24, static_cast<Int64>(v)).ptr - buf);
    return true;
  }
  *n = FormatDouble(v, buf);
  return true;
}

bool NumberArrays::Number(double v) {
  if (!std::isfinite(v)) {
    Scalar("null", 4);
    return false;
  }
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  if (cache64_.empty()) cache64_.resize(size_t(1) << kCacheBits);
  Cached& c = cache64_[CacheSlot(bits)];
  if (c.bits != bits) {
    char buf[32];
    size_t n = 0;
    Format(v, buf, &n);
    c.bits = bits;
    c.size = static_cast<std::uint8_t>(n);
    std::memcpy(c.text, buf, n);
  }
  Scalar(c.text, c.size);
  return true;
}

bool NumberArrays::Number32(Float32 v) {
  if (!std::isfinite(v)) return Number(v);
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  if (cache32_.empty()) cache32_.resize(size_t(1) << kCacheBits);
  Cached& c = cache32_[CacheSlot(bits)];
  if (c.bits != bits) {
    char buf[32];
    size_t n = 0;
    Format(scene::ShortestForFloat32(v), buf, &n);
    c.bits = bits;
    c.size = static_cast<std::uint8_t>(n);
    std::memcpy(c.text, buf, n);
  }
  Scalar(c.text, c.size);
  return true;
}

void NumberArrays::Integer(Int64 v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  Scalar(buf, static_cast<size_t>(r.ptr - buf));
}

void NumberArrays::Reserve(size_t tokens, size_t chars) {
  // Grows as appending would, so that reserving piece by piece stays linear.
  if (tokens_.size() + tokens > tokens_.capacity())
    tokens_.reserve(std::max(tokens_.size() + tokens, tokens_.capacity() * 2));
  if (chars_.size() + chars > chars_.capacity())
    chars_.reserve(std::max(chars_.size() + chars, chars_.capacity() * 2));
}

void NumberArrays::Clear() {
  chars_.clear();
  tokens_.clear();
  open_.clear();
  open_chars_.clear();
  tops_.clear();
}

size_t NumberArrays::FirstToken(const nlohmann::ordered_json& placeholder) const {
  return tops_.at(static_cast<size_t>(placeholder.get_binary().subtype())).first;
}

size_t NumberArrays::FirstChar(const nlohmann::ordered_json& placeholder) const {
  return tops_.at(static_cast<size_t>(placeholder.get_binary().subtype())).second;
}

size_t FormatDouble(double v, char* out) {
  return static_cast<size_t>(nlohmann::detail::to_chars(out, out + 32, v) - out);
}

namespace {

using OJson = nlohmann::ordered_json;

constexpr size_t kWidth = 100;
constexpr size_t kNoInline = static_cast<size_t>(-1);

bool IsScalar(const OJson& v) { return !v.is_array() && !v.is_object() && !v.is_binary(); }

std::string ScalarText(const OJson& v) {
  return v.dump(-1, ' ', false, OJson::error_handler_t::replace);
}

/// Lays a tree out; the layout of an array of numbers is the same whether it is in the tree
/// or behind a placeholder.
class Layout {
 public:
  Layout(const NumberArrays* arrays, std::string& out) : arrays_(arrays), out_(out) {}

  void Emit(const OJson& v, size_t indent, size_t column) {
    if (NumberArrays::IsPlaceholder(v)) {
      EmitArray(arrays_->FirstToken(v), arrays_->FirstChar(v), indent, column);
      return;
    }
    const size_t room = column < kWidth ? kWidth - column : 0;
    if (IsScalar(v)) {
      out_ += ScalarText(v);
      return;
    }
    if (v.empty()) {
      out_ += v.is_array() ? "[]" : "{}";
      return;
    }
    if (auto t = Inline(v, std::max<size_t>(room, 40))) {
      out_ += *t;
      return;
    }
    const std::string pad(indent + 2, ' ');
    if (v.is_array()) {
      bool allScalar = true;
      for (const auto& e : v) allScalar = allScalar && IsScalar(e);
      out_ += "[\n";
      if (allScalar) {
        // Long runs of numbers (weights, vertex maps) are filled into lines.
        std::string line;
        for (size_t i = 0; i < v.size(); ++i) {
          std::string item = ScalarText(v[i]) + (i + 1 < v.size() ? "," : "");
          if (!line.empty() && pad.size() + line.size() + 1 + item.size() > kWidth) {
            out_ += pad + line + "\n";
            line.clear();
          }
          line += (line.empty() ? "" : " ") + item;
        }
        out_ += pad + line + "\n";
      } else {
        for (size_t i = 0; i < v.size(); ++i) {
          out_ += pad;
          Emit(v[i], indent + 2, indent + 2);
          out_ += i + 1 < v.size() ? ",\n" : "\n";
        }
      }
      out_ += std::string(indent, ' ') + "]";
      return;
    }
    out_ += "{\n";
    size_t i = 0;
    for (const auto& [key, e] : v.items()) {
      std::string k = ScalarText(OJson(key)) + ": ";
      out_ += pad + k;
      Emit(e, indent + 2, indent + 2 + k.size());
      out_ += ++i < v.size() ? ",\n" : "\n";
    }
    out_ += std::string(indent, ' ') + "}";
  }

 private:
  /// The one-line form of a value, or nothing when it holds objects inside arrays, is deeper
  /// than three levels or is longer than `limit`.
  std::optional<std::string> Inline(const OJson& v, size_t limit, int depth = 0) {
    if (NumberArrays::IsPlaceholder(v)) {
      const size_t t = arrays_->FirstToken(v), c = arrays_->FirstChar(v);
      if (InlineLength(t, limit, depth) == kNoInline) return std::nullopt;
      std::string s;
      WriteInline(t, c, s);
      return s;
    }
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

  // ----- arrays of numbers, token by token -----

  const NumberArrays::Token& Tok(size_t t) const { return arrays_->TokenAt(t); }

  /// The length of the one-line form of the value at token `t`, or kNoInline (the same rules
  /// as Inline).
  size_t InlineLength(size_t t, size_t limit, int depth) const {
    const NumberArrays::Token& k = Tok(t);
    if (!k.array()) return k.size;
    if (depth >= 3) return kNoInline;
    size_t len = 1, e = t + 1;
    for (std::uint32_t i = 0; i < k.count(); ++i) {
      const size_t l = InlineLength(e, limit, depth + 1);
      if (l == kNoInline) return kNoInline;
      len += (i == 0 ? 0 : 2) + l;
      if (len > limit) return kNoInline;
      e += Tok(e).span;
    }
    ++len;
    return len > limit ? kNoInline : len;
  }

  /// Appends the one-line form of the value at token `t`, whose text starts at `c`; answers
  /// the characters of its numbers.
  size_t WriteInline(size_t t, size_t c, std::string& s) const {
    const NumberArrays::Token& k = Tok(t);
    if (!k.array()) {
      s.append(arrays_->Chars() + c, k.size);
      return k.size;
    }
    s += '[';
    size_t used = 0, e = t + 1;
    for (std::uint32_t i = 0; i < k.count(); ++i) {
      if (i > 0) s += ", ";
      used += WriteInline(e, c + used, s);
      e += Tok(e).span;
    }
    s += ']';
    return used;
  }

  /// Lays out the value at token `t`, whose text starts at `c`; answers the characters of its
  /// numbers.
  size_t EmitArray(size_t t, size_t c, size_t indent, size_t column) {
    const NumberArrays::Token& k = Tok(t);
    if (!k.array()) {
      out_.append(arrays_->Chars() + c, k.size);
      return k.size;
    }
    if (k.count() == 0) {
      out_ += "[]";
      return 0;
    }
    const size_t room = column < kWidth ? kWidth - column : 0;
    if (InlineLength(t, std::max<size_t>(room, 40), 0) != kNoInline) return WriteInline(t, c, out_);
    const size_t pad = indent + 2;
    bool allScalar = true;
    for (size_t i = 0, e = t + 1; i < k.count() && allScalar; ++i, e += Tok(e).span)
      allScalar = !Tok(e).array();
    out_ += "[\n";
    size_t used = 0, e = t + 1;
    if (allScalar) {
      // Long runs of numbers are filled into lines.
      size_t line = 0;  // characters on the line after the indent
      for (std::uint32_t i = 0; i < k.count(); ++i, ++e) {
        const bool last = i + 1 == k.count();
        const size_t item = Tok(e).size + (last ? 0 : 1);
        if (line > 0 && pad + line + 1 + item > kWidth) {
          out_ += '\n';
          line = 0;
        }
        if (line == 0) {
          out_.append(pad, ' ');
        } else {
          out_ += ' ';
          ++line;
        }
        out_.append(arrays_->Chars() + c + used, Tok(e).size);
        if (!last) out_ += ',';
        used += Tok(e).size;
        line += item;
      }
      out_ += '\n';
    } else {
      for (std::uint32_t i = 0; i < k.count(); ++i) {
        out_.append(pad, ' ');
        used += EmitArray(e, c + used, pad, pad);
        out_ += i + 1 < k.count() ? ",\n" : "\n";
        e += Tok(e).span;
      }
    }
    out_.append(indent, ' ');
    out_ += ']';
    return used;
  }

  const NumberArrays* arrays_;
  std::string& out_;
};

}  // namespace

std::string RenderSceneText(const OJson& root, const NumberArrays* arrays) {
  std::string out;
  // Numbers are most of a large file; indents and separators add less than as much again.
  if (arrays) out.reserve(arrays->CharCount() * 2 + 4096);
  Layout(arrays, out).Emit(root, 0, 0);
  out += '\n';
  return out;
}

}  // namespace pmxapp
