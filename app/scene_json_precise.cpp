// The precise parse of a scene file: nlohmann's parser, told where in the text each event of
// the parse is, so that a mistake is named by line and column (and JSON path where it helps).
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "message_text.h"
#include "scene_json.h"
#include "scene_loader.h"

namespace pmxapp::sceneload {

namespace {

/// Walks the text for the JSON library and counts what it has read, so that events of the
/// parse (a key, an opening bracket) know where in the text they are.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* p, size_t* consumed) : p_(p), consumed_(consumed) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    ++*consumed_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& o) const { return p_ == o.p_; }
  bool operator!=(const CountingIterator& o) const { return p_ != o.p_; }

 private:
  const char* p_;
  size_t* consumed_;
};

/// "LINE:COLUMN" (both from 1) of the byte at `index`.
std::string LineColumn(std::string_view text, size_t index) {
  index = std::min(index, text.size());
  size_t line = 1, lineStart = 0;
  for (size_t i = 0; i < index; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return std::to_string(line) + ":" + std::to_string(index - lineStart + 1);
}

/// Removes the library's prefixes from a parse error ("[json.exception.parse_error.101] parse
/// error at line 1, column 5: syntax error while parsing value - ") and cuts the text it
/// echoes as "last read" to its end, where the mistake is.
std::string CleanParseMessage(std::string m) {
  if (m.size() > 0 && m[0] == '[') {
    size_t close = m.find("] ");
    if (close != std::string::npos) m.erase(0, close + 2);
  }
  size_t col = m.find("column ");
  if (m.rfind("parse error", 0) == 0 && col != std::string::npos) {
    size_t colon = m.find(": ", col);
    if (colon != std::string::npos) m.erase(0, colon + 2);
  }
  size_t dash = m.find(" - ");
  if (m.rfind("syntax error", 0) == 0 && dash != std::string::npos) m.erase(0, dash + 3);
  const std::string marker = "; last read: '";
  const size_t read = m.find(marker);
  if (read != std::string::npos) {
    const size_t start = read + marker.size();
    const size_t end = m.rfind('\'');
    if (end != std::string::npos && end >= start && end - start > kEchoChars) {
      size_t cut = end - kEchoChars;
      while (cut < end && (static_cast<unsigned char>(m[cut]) & 0xC0) == 0x80) ++cut;
      m = m.substr(0, start) + "..." + m.substr(cut);
    }
  }
  return EscapeForMessage(m);
}

/// The DOM builder of the JSON library, with the position of every event, the JSON path of
/// the value being read, a bound on nesting and a check for keys given twice.
using NJson = nlohmann::json;

class SceneDomParser : public nlohmann::detail::json_sax_dom_parser<NJson> {
  using Base = nlohmann::detail::json_sax_dom_parser<NJson>;

 public:
  SceneDomParser(NJson& result, std::string_view text, const std::string& file,
                 const size_t* consumed)
      : Base(result, false), text_(text), file_(file), consumed_(consumed) {}

  bool null() {
    Count();
    return Base::null();
  }
  bool boolean(bool v) {
    Count();
    return Base::boolean(v);
  }
  bool number_integer(NJson::number_integer_t v) {
    Count();
    return Base::number_integer(v);
  }
  bool number_unsigned(NJson::number_unsigned_t v) {
    Count();
    return Base::number_unsigned(v);
  }
  bool number_float(NJson::number_float_t v, const std::string& s) {
    Count();
    return Base::number_float(v, s);
  }
  bool string(std::string& v) {
    Count();
    return Base::string(v);
  }
  bool binary(NJson::binary_t& v) {
    Count();
    return Base::binary(v);
  }
  bool start_object(std::size_t n) {
    Enter(false);
    return Base::start_object(n);
  }
  bool end_object() {
    frames_.pop_back();
    return Base::end_object();
  }
  bool start_array(std::size_t n) {
    Enter(true);
    return Base::start_array(n);
  }
  bool end_array() {
    frames_.pop_back();
    return Base::end_array();
  }

  bool key(std::string& k) {
    Frame& f = frames_.back();
    const size_t at = KeyStart();
    auto [it, added] = f.keys.emplace(k, at);
    if (!added) {
      const std::string where = Path(frames_.size() - 1);
      throw SceneError(file_ + ":" + LineColumn(text_, at) + ": " +
                       (where.empty() ? std::string() : where + ": ") + "the key " +
                       QuoteForMessage(k) + " is given twice in one object (first at line " +
                       Place(it->second) + "); give it once");
    }
    f.key = k;
    return Base::key(k);
  }

  template <class Exception>
  bool parse_error(std::size_t position, const std::string&, const Exception& ex) {
    failed = true;
    errorPosition = position;
    errorMessage = ex.what();
    return false;
  }

  bool failed = false;
  std::size_t errorPosition = 0;
  std::string errorMessage;

 private:
  struct Frame {
    bool array = false;
    size_t count = 0;  // elements begun so far (arrays)
    std::string key;   // the key being read (objects)
    std::map<std::string, size_t> keys;
  };

  void Count() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().count;
  }

  void Enter(bool array) {
    Count();
    if (frames_.size() >= static_cast<size_t>(kMaxJsonNesting)) {
      throw SceneError(file_ + ":" + LineColumn(text_, *consumed_ - 1) +
                       ": arrays and objects nest deeper than " + std::to_string(kMaxJsonNesting) +
                       " levels");
    }
    frames_.push_back(Frame{array, 0, {}, {}});
  }

  /// Where the key just read starts: its opening quote, the last one before the closing quote
  /// that no backslash escapes.
  size_t KeyStart() const {
    size_t close = std::min(*consumed_, text_.size());
    if (close == 0) return 0;
    --close;  // the closing quote
    for (size_t i = close; i-- > 0;) {
      if (text_[i] != '"') continue;
      size_t slashes = 0;
      while (slashes < i && text_[i - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 0) return i;
    }
    return close;
  }

  std::string Place(size_t index) const {
    const std::string lc = LineColumn(text_, index);
    const size_t colon = lc.find(':');
    return lc.substr(0, colon) + ", column " + lc.substr(colon + 1);
  }

  /// The JSON path of the value that frame `depth` is in, as the loader writes paths.
  std::string Path(size_t depth) const {
    std::string p;
    for (size_t i = 0; i < depth; ++i) {
      const Frame& f = frames_[i];
      if (f.array) {
        p += "[" + std::to_string(f.count == 0 ? 0 : f.count - 1) + "]";
      } else {
        if (!p.empty()) p += '.';
        p += f.key.size() <= kEchoChars ? EscapeForMessage(f.key) : QuoteForMessage(f.key);
      }
    }
    return p;
  }

  std::string_view text_;
  const std::string& file_;
  const size_t* consumed_;
  std::vector<Frame> frames_;
};

}  // namespace

void ParsePrecisely(std::string_view text, const std::string& file, NJson* root) {
  size_t consumed = 0;
  SceneDomParser dom(*root, text, file, &consumed);
  const CountingIterator first(text.data(), &consumed), last(text.data() + text.size(), &consumed);
  const bool ok = NJson::sax_parse(first, last, &dom, NJson::input_format_t::json, /*strict=*/true,
                                   /*ignore_comments=*/true);
  if (ok && !dom.failed) return;
  const size_t pos = std::min(dom.errorPosition, text.size());
  size_t line = 1, column = 0;
  for (size_t i = 0; i < pos; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  if (column == 0) column = 1;
  throw SceneError(file + ":" + std::to_string(line) + ":" + std::to_string(column) +
                   ": not valid JSON: " + CleanParseMessage(dom.errorMessage));
}

}  // namespace pmxapp::sceneload
