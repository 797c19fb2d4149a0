#include "scene_json.h"

#include <simdjson.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>

#include "release_behind.h"

namespace pmxapp::sceneload {

namespace {

using NJson = nlohmann::json;

// ----- the fast parser's tree -----

using simdjson::dom::element;
using simdjson::dom::element_type;
static_assert(kParsePadding >= simdjson::SIMDJSON_PADDING);
static_assert(sizeof(element) <= 16 && std::is_trivially_copyable_v<element>);
static_assert(sizeof(simdjson::dom::array::iterator) <= 16 &&
              std::is_trivially_copyable_v<simdjson::dom::array::iterator>);

template <typename T>
T Load(const unsigned char* bytes) {
  T v;
  std::memcpy(static_cast<void*>(&v), bytes, sizeof v);
  return v;
}

template <typename T>
void Store(const T& v, unsigned char* bytes) {
  std::memcpy(bytes, static_cast<const void*>(&v), sizeof v);
}

/// Whether an object of the fast tree, or any below `e`, gives a key twice (the precise parser
/// then names the place).
[[gnu::flatten]] bool HasDuplicateKey(element e, std::vector<std::string_view>& keys) {
  switch (e.type()) {
    case element_type::ARRAY: {
      const simdjson::dom::array a = e.get_array().value_unsafe();
      for (element c : a) {
        const element_type t = c.type();
        if ((t == element_type::ARRAY || t == element_type::OBJECT) && HasDuplicateKey(c, keys))
          return true;
      }
      return false;
    }
    case element_type::OBJECT: {
      const simdjson::dom::object o = e.get_object().value_unsafe();
      const size_t start = keys.size();
      for (auto [key, value] : o) keys.push_back(key);
      std::sort(keys.begin() + static_cast<std::ptrdiff_t>(start), keys.end());
      const bool twice = std::adjacent_find(keys.begin() + static_cast<std::ptrdiff_t>(start),
                                            keys.end()) != keys.end();
      keys.resize(start);
      if (twice) return true;
      for (auto [key, value] : o) {
        const element_type t = value.type();
        if ((t == element_type::ARRAY || t == element_type::OBJECT) && HasDuplicateKey(value, keys))
          return true;
      }
      return false;
    }
    default:
      return false;
  }
}

}  // namespace

// ----- values -----

JsonValue::value_t JsonValue::type() const {
  if (!fast_) return json_ ? json_->type() : value_t::null;
  const element e = Load<element>(element_);
  switch (e.type()) {
    case element_type::ARRAY:
      return value_t::array;
    case element_type::OBJECT:
      return value_t::object;
    case element_type::INT64:
      // nlohmann's parser reads a whole number without a minus sign as unsigned.
      return e.get_int64().value_unsafe() < 0 ? value_t::number_integer : value_t::number_unsigned;
    case element_type::UINT64:
      return value_t::number_unsigned;
    case element_type::DOUBLE:
      return value_t::number_float;
    case element_type::STRING:
      return value_t::string;
    case element_type::BOOL:
      return value_t::boolean;
    default:
      return value_t::null;
  }
}

size_t JsonValue::size() const {
  if (!fast_) return json_ ? json_->size() : 0;
  const element e = Load<element>(element_);
  if (e.is_array()) {
    const auto a = e.get_array().value_unsafe();
    size_t n = a.size();
    if (n >= 0xFFFFFF) n = static_cast<size_t>(std::distance(a.begin(), a.end()));
    return n;
  }
  if (e.is_object()) {
    const auto o = e.get_object().value_unsafe();
    size_t n = o.size();
    if (n >= 0xFFFFFF) n = static_cast<size_t>(std::distance(o.begin(), o.end()));
    return n;
  }
  return 0;
}

JsonValue JsonValue::operator[](size_t i) const {
  if (!fast_) return JsonValue(&(*json_)[i]);
  using Iterator = simdjson::dom::array::iterator;
  Iterator it;
  size_t at = 0;
  if (cacheIndex_ != static_cast<size_t>(-1) && i >= cacheIndex_) {
    it = Load<Iterator>(cacheElement_);
    at = cacheIndex_;
  } else {
    const simdjson::dom::array a = Load<element>(element_).get_array().value_unsafe();
    it = a.begin();
  }
  for (; at < i; ++at) ++it;
  Store(it, cacheElement_);
  cacheIndex_ = i;
  JsonValue v;
  v.fast_ = true;
  Store(element(*it), v.element_);
  return v;
}

std::optional<JsonValue> JsonValue::find(std::string_view key) const {
  if (!fast_) {
    if (!json_ || !json_->is_object()) return std::nullopt;
    auto it = json_->find(key);
    if (it == json_->end()) return std::nullopt;
    return JsonValue(&*it);
  }
  const element e = Load<element>(element_);
  if (!e.is_object()) return std::nullopt;
  const simdjson::dom::object o = e.get_object().value_unsafe();
  for (auto [k, value] : o) {
    if (k == key) {
      JsonValue v;
      v.fast_ = true;
      Store(value, v.element_);
      return v;
    }
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, JsonValue>> JsonValue::items() const {
  std::vector<std::pair<std::string, JsonValue>> out;
  if (!fast_) {
    if (!json_ || !json_->is_object()) return out;
    for (const auto& [key, value] : json_->items()) out.emplace_back(key, JsonValue(&value));
    return out;
  }
  const element e = Load<element>(element_);
  if (!e.is_object()) return out;
  const simdjson::dom::object o = e.get_object().value_unsafe();
  for (auto [k, value] : o) {
    JsonValue v;
    v.fast_ = true;
    Store(value, v.element_);
    out.emplace_back(std::string(k), v);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

double JsonValue::get_double() const {
  if (!fast_) return json_->get<double>();
  return Load<element>(element_).get_double().value_unsafe();
}

std::int64_t JsonValue::get_int64() const {
  if (!fast_) return json_->get<std::int64_t>();
  const element e = Load<element>(element_);
  if (e.is_int64()) return e.get_int64().value_unsafe();
  if (e.is_uint64()) return static_cast<std::int64_t>(e.get_uint64().value_unsafe());
  return static_cast<std::int64_t>(e.get_double().value_unsafe());
}

std::uint64_t JsonValue::get_uint64() const {
  if (!fast_) return json_->get<std::uint64_t>();
  const element e = Load<element>(element_);
  if (e.is_uint64()) return e.get_uint64().value_unsafe();
  if (e.is_int64()) return static_cast<std::uint64_t>(e.get_int64().value_unsafe());
  return static_cast<std::uint64_t>(e.get_double().value_unsafe());
}

bool JsonValue::get_bool() const {
  if (!fast_) return json_->get<bool>();
  return Load<element>(element_).get_bool().value_unsafe();
}

std::string JsonValue::str() const {
  if (!fast_) return json_->get_ref<const std::string&>();
  return std::string(Load<element>(element_).get_string().value_unsafe());
}

namespace {

/// A number of the fast tree as get<double> reads it.
bool AsDouble(element c, double* out) {
  switch (c.type()) {
    case element_type::INT64:
      *out = static_cast<double>(c.get_int64().value_unsafe());
      return true;
    case element_type::UINT64:
      *out = static_cast<double>(c.get_uint64().value_unsafe());
      return true;
    case element_type::DOUBLE:
      *out = c.get_double().value_unsafe();
      return true;
    default:
      return false;
  }
}

/// A whole number of the fast tree that fits 64 bits with a sign.
bool AsInt64(element c, std::int64_t* out) {
  if (c.type() == element_type::INT64) {
    *out = c.get_int64().value_unsafe();
    return true;
  }
  if (c.type() == element_type::UINT64 &&
      c.get_uint64().value_unsafe() <=
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    *out = static_cast<std::int64_t>(c.get_uint64().value_unsafe());
    return true;
  }
  return false;
}

// The readers of whole arrays take the parser's small accessors inline: they run once per number.
template <typename T, bool (*Read)(element, T*)>
[[gnu::flatten]] bool ReadRow(element e, T* out, size_t maxCount, size_t* count) {
  if (!e.is_array()) return false;
  const simdjson::dom::array a = e.get_array().value_unsafe();
  size_t n = 0;
  for (element c : a) {
    if (n == maxCount || !Read(c, out + n)) return false;
    ++n;
  }
  *count = n;
  return true;
}

template <typename T, bool (*Read)(element, T*)>
[[gnu::flatten]] bool ReadRows(element e, T* out, std::uint8_t* lengths, size_t maxRows,
                               size_t maxCols, size_t* rows) {
  if (!e.is_array() || maxCols > 255) return false;
  const simdjson::dom::array a = e.get_array().value_unsafe();
  size_t r = 0;
  for (element row : a) {
    size_t n = 0;
    if (r == maxRows || !ReadRow<T, Read>(row, out + r * maxCols, maxCols, &n)) return false;
    lengths[r++] = static_cast<std::uint8_t>(n);
  }
  *rows = r;
  return true;
}

}  // namespace

bool JsonValue::ReadNumbers(double* out, size_t maxCount, size_t* count) const {
  return fast_ && ReadRow<double, AsDouble>(Load<element>(element_), out, maxCount, count);
}

bool JsonValue::ReadIntegers(std::int64_t* out, size_t maxCount, size_t* count) const {
  return fast_ && ReadRow<std::int64_t, AsInt64>(Load<element>(element_), out, maxCount, count);
}

bool JsonValue::ReadNumberRows(double* out, std::uint8_t* lengths, size_t maxRows, size_t maxCols,
                               size_t* rows) const {
  return fast_ &&
         ReadRows<double, AsDouble>(Load<element>(element_), out, lengths, maxRows, maxCols, rows);
}

bool JsonValue::ReadIntegerRows(std::int64_t* out, std::uint8_t* lengths, size_t maxRows,
                                size_t maxCols, size_t* rows) const {
  return fast_ && ReadRows<std::int64_t, AsInt64>(Load<element>(element_), out, lengths, maxRows,
                                                  maxCols, rows);
}

NJson JsonValue::ToNlohmann() const {
  if (!fast_) return json_ ? *json_ : NJson();
  switch (type()) {
    case value_t::array: {
      NJson a = NJson::array();
      for (size_t i = 0, n = size(); i < n; ++i) a.push_back((*this)[i].ToNlohmann());
      return a;
    }
    case value_t::object: {
      NJson o = NJson::object();
      for (const auto& [key, value] : items()) o[key] = value.ToNlohmann();
      return o;
    }
    case value_t::number_integer:
      return get_int64();
    case value_t::number_unsigned:
      return get_uint64();
    case value_t::number_float:
      return get_double();
    case value_t::string:
      return str();
    case value_t::boolean:
      return get_bool();
    default:
      return nullptr;
  }
}

std::string JsonValue::dump() const {
  if (!fast_) return json_ ? json_->dump() : "null";
  return ToNlohmann().dump();
}

// ----- the parse -----

struct ParsedScene::Fast {
  simdjson::dom::parser parser;
  bool large = false;  // the second processor helps
  // The look for a key given twice, and its answer.
  std::thread keyCheck;
  bool duplicateKey = false;

  ~Fast() {
    if (keyCheck.joinable()) keyCheck.join();
  }

  /// The index (four bytes a character) is not read once the tree is made: its pages go back
  /// to the system while the tree is loaded. The block itself is freed with the tree, right
  /// after it, so that the heap joins both into one free block that begins with the tree's
  /// pages.
  void DropIndex() {
    DropPages(parser.implementation->structural_indexes.get(),
              parser.capacity() * sizeof(std::uint32_t));
  }

  /// Frees the tree. Its pages stay in the heap (see KeepFreedMemoryForReuse in main.cpp),
  /// where the model made from the scene next takes its large blocks, and reuses them if
  /// nothing lies before them: the tree's strings, allocated just before it and mostly never
  /// touched, are therefore kept (without their pages) until the next large tree is freed.
  void FreeTree() {
    if (keyCheck.joinable()) keyCheck.join();
    DropPages(parser.doc.string_buf.get(), parser.capacity() * 5 / 3);
    static std::mutex mutex;
    // Never destroyed: this runs on the worker, which may still be at it as the program ends.
    static auto* const keptStrings = new std::unique_ptr<std::uint8_t[]>();
    std::unique_ptr<std::uint8_t[]> previous;
    {
      const std::lock_guard<std::mutex> lock(mutex);
      previous = std::exchange(*keptStrings, std::move(parser.doc.string_buf));
    }
    parser = simdjson::dom::parser();
  }
};

namespace {

/// Makes room for the parse of a large text and has the second processor touch the pages the
/// parse writes before the parse gets to them: first the index, which the parse writes first,
/// then the tree. Fresh memory costs the system more to hand out than the parse costs to fill
/// (nearly half of a large parse's time). The touching stops when the parse is done, so pages
/// the parse did not need are rarely touched in vain.
class ParseMemory {
 public:
  ParseMemory(simdjson::dom::parser& parser, size_t size) {
    constexpr size_t kLarge = size_t(8) << 20;
    if (size < kLarge) return;
    // The tree first: see Fast::DropIndex.
    if (parser.doc.allocate(size) != simdjson::SUCCESS ||
        parser.allocate(size) != simdjson::SUCCESS)
      return;  // the parse tries again and reports the shortage
#ifdef MADV_POPULATE_WRITE
    // A scene file is mostly numbers: about one index entry (4 bytes) for each 6 bytes of
    // text, and two tree words (16 bytes) for each 12; the estimates run a little beyond.
    const PageSpan index =
        WholePagesIn(parser.implementation->structural_indexes.get(), size * 3 / 4);
    const PageSpan tree = WholePagesIn(parser.doc.tape.get(), size * 3 / 2);
    try {
      toucher_ = std::thread([this, index, tree] {
        for (const PageSpan& r : {index, tree}) {
          constexpr std::uintptr_t kStep = std::uintptr_t(1) << 20;
          for (std::uintptr_t at = r.begin; at < r.end && !parsed_.load(std::memory_order_relaxed);
               at += kStep) {
            ::madvise(reinterpret_cast<void*>(at), std::min(kStep, r.end - at),
                      MADV_POPULATE_WRITE);
          }
        }
      });
    } catch (...) {
      // No thread: the parse touches the pages itself.
    }
#endif
  }
  ~ParseMemory() {
    parsed_.store(true, std::memory_order_relaxed);
    if (toucher_.joinable()) toucher_.join();
  }
  ParseMemory(const ParseMemory&) = delete;
  ParseMemory& operator=(const ParseMemory&) = delete;

 private:
  std::atomic<bool> parsed_{false};
  std::thread toucher_;
};

}  // namespace

ParsedScene::ParsedScene() = default;

ParsedScene::~ParsedScene() { ReleaseJson(tree_); }

bool ParsedScene::HasDuplicateKey() {
  if (!fast_) return false;
  if (fast_->keyCheck.joinable()) fast_->keyCheck.join();
  return fast_->duplicateKey;
}

void ParsedScene::ReleaseBehind() {
  root_ = JsonValue();
  if (fast_ && fast_->large) pmxapp::ReleaseBehind([gone = std::move(fast_)] { gone->FreeTree(); });
  fast_.reset();
}

void ParsedScene::ReadPrecisely(std::string_view text, const std::string& file) {
  fast_.reset();
  ParsePrecisely(text, file, &tree_);
  root_ = JsonValue(&tree_);
}

void ParseSceneJson(std::string_view text, bool padded, const std::string& file, ParsedScene* out) {
  // The fast parser reads a little past the end of the text; a text without that room is
  // copied.
  try {
    auto fast = std::make_shared<ParsedScene::Fast>();
    simdjson::padded_string copy;
    std::string_view view(text);
    if (!padded) {
      copy = simdjson::padded_string(view);
      view = std::string_view(copy.data(), copy.size());
    }
    element root;
    bool parsed = false;
    {
      const ParseMemory memory(fast->parser, view.size());
      parsed = !fast->parser.parse(view.data(), view.size(), false).get(root);
    }
    if (parsed) {
      // Work for the second processor: a large text's tree is searched for a key given twice
      // while it is being loaded, and the pages of the parser's index, which the tree needs no
      // more, are given back meanwhile.
      constexpr size_t kLarge = size_t(1) << 20;
      fast->large = view.size() >= kLarge;
      if (fast->large) {
        pmxapp::ReleaseBehind([parsing = fast] { parsing->DropIndex(); });
      }
      ParsedScene::Fast* f = fast.get();
      auto check = [f, root] {
        std::vector<std::string_view> keys;
        f->duplicateKey = pmxapp::sceneload::HasDuplicateKey(root, keys);
      };
      bool checking = false;
      if (fast->large) {
        try {
          f->keyCheck = std::thread(check);
          checking = true;
        } catch (const std::system_error&) {
          // No thread: the check runs here.
        }
      }
      if (!checking) check();
      out->fast_ = std::move(fast);
      out->root_.fast_ = true;
      Store(root, out->root_.element_);
      return;
    }
    // Refused: a mistake, or what only the precise parser reads (comments, numbers beyond
    // double precision).
  } catch (const std::bad_alloc&) {
    // The precise parser says whether memory is short.
  }
  ParsePrecisely(text, file, &out->tree_);
  out->root_ = JsonValue(&out->tree_);
}

void ReleaseJson(NJson& v) noexcept {
  if (v.is_array()) {
    auto& a = v.get_ref<NJson::array_t&>();
    for (NJson& e : a) ReleaseJson(e);
    a.clear();
  } else if (v.is_object()) {
    auto& o = v.get_ref<NJson::object_t&>();
    for (auto& [key, e] : o) ReleaseJson(e);
    o.clear();
  }
}

}  // namespace pmxapp::sceneload
