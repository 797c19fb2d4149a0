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
  Token t;
  t.size = Token::kArrayBit;
  tokens_.push_back(t);
}

void NumberArrays::Close() {
  const size_t first = open_.back();
  open_.pop_back();
  tokens_[first].span = static_cast<std::uint32_t>(tokens_.size() - first);
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

template <typename FormatFn>
void NumberArrays::ScalarCached(std::vector<Cached>& cache, std::uint64_t bits, FormatFn format) {
  if (cache.empty()) cache.resize(size_t(1) << kCacheBits);
  Cached& c = cache[CacheSlot(bits)];
  if (c.bits != bits) {
    char buf[32];
    const size_t n = format(buf);
    if (n > sizeof c.text) {
      Scalar(buf, n);
      return;
    }
    c.bits = bits;
    c.size = static_cast<std::uint8_t>(n);
    std::memcpy(c.text, buf, n);
  }
  Scalar(c.text, c.size);
}

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
  // Whole numbers (zero weights, grid coordinates) are quicker written than looked up.
  if (v == std::trunc(v) && std::abs(v) < 9.0e15 && !(v == 0 && std::signbit(v))) {
    Integer(static_cast<Int64>(v));
    return true;
  }
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  ScalarCached(cache64_, bits, [v](char* buf) { return FormatDouble(v, buf); });
  return true;
}

bool NumberArrays::Number32(Float32 v) {
  if (!std::isfinite(v)) return Number(v);
  // A whole float below 2^24 is its own shortest decimal.
  if (v == std::trunc(v) && std::abs(v) < 16777216.0f && !(v == 0 && std::signbit(v))) {
    Integer(static_cast<Int64>(v));
    return true;
  }
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  ScalarCached(cache32_, bits, [this, v](char* buf) {
    size_t n = 0;
    Format(scene::ShortestForFloat32(v), buf, &n);
    return n;
  });
  return true;
}

void NumberArrays::Integer(Int64 v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  Scalar(buf, static_cast<size_t>(r.ptr - buf));
}

void NumberArrays::Clear() {
  chars_.clear();
  tokens_.clear();
  open_.clear();
}

nlohmann::ordered_json NumberSources::Add(NumberSource source) {
  sources_.push_back(std::move(source));
  return nlohmann::ordered_json::binary({}, sources_.size() - 1);
}

const NumberSource& NumberSources::At(const nlohmann::ordered_json& placeholder) const {
  return sources_.at(static_cast<size_t>(placeholder.get_binary().subtype()));
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
  Layout(const NumberSources* sources, std::string& out, const TextSink* sink)
      : sources_(sources), out_(out), sink_(sink) {}

  void Emit(const OJson& v, size_t indent, size_t column) {
    if (NumberSources::IsPlaceholder(v)) {
      EmitSource(sources_->At(v), indent, column);
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
          Flush(false);
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
      Flush(false);
    }
    out_ += std::string(indent, ' ') + "}";
  }

  /// Hands the text so far to the sink, when there is one and (unless `all`) a piece's worth.
  void Flush(bool all) {
    if (!sink_ || out_.empty() || (!all && out_.size() < kPiece)) return;
    (*sink_)(out_.data(), out_.size());
    out_.clear();
  }

 private:
  /// The one-line form of a value, or nothing when it holds objects inside arrays, is deeper
  /// than three levels or is longer than `limit`.
  std::optional<std::string> Inline(const OJson& v, size_t limit, int depth = 0) {
    if (NumberSources::IsPlaceholder(v)) {
      const NumberSource& source = sources_->At(v);
      if (SourceInlineLength(source, limit, depth) == kNoInline) return std::nullopt;
      std::string s;
      WriteSourceInline(source, s);
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

  const NumberArrays::Token& Tok(size_t t) const { return scratch_.TokenAt(t); }

  /// The length of the one-line form of the value at token `t`, or kNoInline (the same rules
  /// as Inline).
  size_t InlineLength(size_t t, size_t limit, int depth) const {
    const NumberArrays::Token& k = Tok(t);
    if (!k.array()) return k.size;
    if (depth >= 3) return kNoInline;
    return ElementsInlineLength(k.count(), t + 1, limit, depth, [](size_t) {});
  }

  /// The length of "[e0, e1, ...]" for `count` elements whose tokens follow each other from
  /// token `first`, or kNoInline; `prepare(i)` runs before element i is measured.
  template <typename Prepare>
  size_t ElementsInlineLength(size_t count, size_t first, size_t limit, int depth,
                              Prepare prepare) const {
    size_t len = 1, e = first;
    for (size_t i = 0; i < count; ++i) {
      prepare(i);
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
      s.append(scratch_.Chars() + c, k.size);
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

  /// Writes the one-line form of the value at token `t` from its numbers at `text` to `o`;
  /// answers the end of the form (and moves `text` past the numbers).
  char* Place(size_t t, const char*& text, char* o) const {
    const NumberArrays::Token& k = Tok(t);
    if (!k.array()) {
      std::memcpy(o, text, k.size);
      text += k.size;
      return o + k.size;
    }
    *o++ = '[';
    size_t e = t + 1;
    for (std::uint32_t i = 0; i < k.count(); ++i) {
      if (i > 0) {
        *o++ = ',';
        *o++ = ' ';
      }
      o = Place(e, text, o);
      e += Tok(e).span;
    }
    *o++ = ']';
    return o;
  }

  /// Appends the one-line form, `len` characters, of the value at token `t`, whose text starts
  /// at `c`; answers the characters of its numbers.
  size_t AppendInline(size_t t, size_t c, size_t len) {
    const size_t at = out_.size();
    out_.resize(at + len);
    const char* const start = scratch_.Chars() + c;
    const char* text = start;
    Place(t, text, out_.data() + at);
    return static_cast<size_t>(text - start);
  }

  /// Adds one number of a long run to lines filled up to kWidth, each indented by `pad`;
  /// `line` counts the characters on the current line after the indent.
  void FillLine(const char* number, size_t size, bool last, size_t pad, size_t* line) {
    const size_t item = size + (last ? 0 : 1);
    if (*line > 0 && pad + *line + 1 + item > kWidth) {
      out_ += '\n';
      *line = 0;
    }
    if (*line == 0) {
      out_.append(pad, ' ');
    } else {
      out_ += ' ';
      ++*line;
    }
    out_.append(number, size);
    if (!last) out_ += ',';
    *line += item;
  }

  /// Lays out the value at token `t`, whose text starts at `c`; answers the characters of its
  /// numbers.
  size_t EmitArray(size_t t, size_t c, size_t indent, size_t column) {
    const NumberArrays::Token& k = Tok(t);
    if (!k.array()) {
      out_.append(scratch_.Chars() + c, k.size);
      return k.size;
    }
    if (k.count() == 0) {
      out_ += "[]";
      return 0;
    }
    const size_t room = column < kWidth ? kWidth - column : 0;
    if (k.span == k.count() + 1) {
      // Numbers only (a point, a polygon, a UV): on one line when it fits, as Inline has it.
      size_t chars = 0;
      for (size_t e = t + 1; e < t + k.span; ++e) chars += Tok(e).size;
      const size_t len = chars + 2 * k.count();
      if (len <= std::max<size_t>(room, 40)) return AppendInline(t, c, len);
    } else if (const size_t len = InlineLength(t, std::max<size_t>(room, 40), 0);
               len != kNoInline) {
      return AppendInline(t, c, len);
    }
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
        FillLine(scratch_.Chars() + c + used, Tok(e).size, i + 1 == k.count(), pad, &line);
        used += Tok(e).size;
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

  // ----- large arrays, a batch of elements at a time -----

  /// The length of the one-line form of `source` (as InlineLength); when it has one, the
  /// scratch holds all its elements afterwards.
  size_t SourceInlineLength(const NumberSource& source, size_t limit, int depth) {
    if (depth >= 3) return kNoInline;
    scratch_.Clear();
    // Every element takes a character at least, so few are made before the limit is passed.
    return ElementsInlineLength(source.count, 0, limit, depth,
                                [&](size_t i) { source.elements(i, i + 1, scratch_); });
  }

  /// Appends the one-line form of `source`, whose elements the scratch holds.
  void WriteSourceInline(const NumberSource& source, std::string& s) const {
    s += '[';
    size_t c = 0, e = 0;
    for (size_t i = 0; i < source.count; ++i) {
      if (i > 0) s += ", ";
      c += WriteInline(e, c, s);
      e += Tok(e).span;
    }
    s += ']';
  }

  /// Lays out `source` as EmitArray lays out an array of its elements.
  void EmitSource(const NumberSource& source, size_t indent, size_t column) {
    if (source.count == 0) {
      out_ += "[]";
      return;
    }
    const size_t room = column < kWidth ? kWidth - column : 0;
    if (SourceInlineLength(source, std::max<size_t>(room, 40), 0) != kNoInline) {
      WriteSourceInline(source, out_);
      return;
    }
    const size_t pad = indent + 2;
    out_ += "[\n";
    size_t line = 0;  // characters on the line after the indent (numbers filled into lines)
    for (size_t first = 0; first < source.count; first += kBatch) {
      const size_t last = std::min(source.count, first + kBatch);
      scratch_.Clear();
      source.elements(first, last, scratch_);
      size_t c = 0, e = 0;
      for (size_t i = first; i < last; ++i) {
        const bool final = i + 1 == source.count;
        if (source.allScalar) {
          FillLine(scratch_.Chars() + c, Tok(e).size, final, pad, &line);
          c += Tok(e).size;
          ++e;
        } else {
          out_.append(pad, ' ');
          c += EmitArray(e, c, pad, pad);
          out_ += final ? "\n" : ",\n";
          e += Tok(e).span;
        }
      }
      Flush(false);
    }
    if (source.allScalar) out_ += '\n';
    out_.append(indent, ' ');
    out_ += ']';
  }

  static constexpr size_t kBatch = 1024;
  // Pieces a little over a megabyte go to the file without another copy.
  static constexpr size_t kPiece = size_t(5) << 18;

  const NumberSources* sources_;
  NumberArrays scratch_;
  std::string& out_;
  const TextSink* sink_;
};

}  // namespace

std::string RenderSceneText(const OJson& root, const NumberSources* sources) {
  std::string out;
  Layout(sources, out, nullptr).Emit(root, 0, 0);
  out += '\n';
  return out;
}

void RenderSceneText(const OJson& root, const NumberSources* sources, const TextSink& sink) {
  std::string out;
  out.reserve(size_t(3) << 19);
  Layout layout(sources, out, &sink);
  layout.Emit(root, 0, 0);
  out += '\n';
  layout.Flush(true);
}

}  // namespace pmxapp
