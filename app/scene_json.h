// The JSON text of a scene file turned into a document tree, with what the JSON libraries leave
// to their caller: the places of duplicate keys, a bound on nesting, and a tree that can be freed
// when memory has run out.
//
// A file is read by the fast parser (simdjson) first. Whatever it refuses (a mistake, but also
// comments, which scene files may hold, or numbers beyond double precision) and a file with a
// key given twice are read again by the precise parser (nlohmann's), which either loads it or
// names the place of the mistake.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pmxapp::sceneload {

/// Arrays and objects nest at most this deep in a scene file: far more than the deepest
/// object tree and parameter container the loader accepts need, and few enough that freeing
/// the tree can recurse.
constexpr int kMaxJsonNesting = 2048;

/// Bytes the fast parser may read past the end of a text; a text with less spare capacity is
/// copied before it is parsed.
constexpr size_t kParsePadding = 64;

/// A value in either parser's tree, read the way nlohmann's JSON reads (objects list their
/// keys in sorted order; a whole number without a sign is unsigned). A value is a handle: the
/// tree it is in outlives it.
class ParsedScene;

class JsonValue {
 public:
  using value_t = nlohmann::json::value_t;

  JsonValue() = default;
  explicit JsonValue(const nlohmann::json* j) : json_(j) {}

  value_t type() const;
  bool is_null() const { return type() == value_t::null; }
  bool is_boolean() const { return type() == value_t::boolean; }
  bool is_number() const {
    const value_t t = type();
    return t == value_t::number_integer || t == value_t::number_unsigned ||
           t == value_t::number_float;
  }
  bool is_number_integer() const {
    const value_t t = type();
    return t == value_t::number_integer || t == value_t::number_unsigned;
  }
  bool is_number_unsigned() const { return type() == value_t::number_unsigned; }
  bool is_string() const { return type() == value_t::string; }
  bool is_array() const { return type() == value_t::array; }
  bool is_object() const { return type() == value_t::object; }

  /// Elements of an array or keys of an object (0 for other values).
  size_t size() const;
  bool empty() const { return size() == 0; }

  /// Element `i` of an array. Reading the elements in order is as fast as iterating them.
  JsonValue operator[](size_t i) const;
  /// The member `key` of an object, which must have it.
  JsonValue operator[](std::string_view key) const { return *find(key); }
  std::optional<JsonValue> find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key).has_value(); }
  /// The members of an object in sorted key order.
  std::vector<std::pair<std::string, JsonValue>> items() const;

  double get_double() const;
  std::int64_t get_int64() const;
  std::uint64_t get_uint64() const;
  bool get_bool() const;
  template <typename T>
  T get() const {
    if constexpr (std::is_same_v<T, bool>) {
      return get_bool();
    } else if constexpr (std::is_same_v<T, double>) {
      return get_double();
    } else if constexpr (std::is_unsigned_v<T>) {
      return static_cast<T>(get_uint64());
    } else {
      return static_cast<T>(get_int64());
    }
  }
  /// The text of a string.
  std::string str() const;

  /// For an array of at most `maxCount` numbers in the fast parser's tree: writes them (as
  /// get<double> reads them) and their count, and answers true. Answers false for anything
  /// else, which the caller then reads element by element.
  bool ReadNumbers(double* out, size_t maxCount, size_t* count) const;
  /// The same for an array of whole numbers that fit 64 bits with a sign.
  bool ReadIntegers(std::int64_t* out, size_t maxCount, size_t* count) const;
  /// For an array of at most `maxRows` arrays (rows) of at most `maxCols` numbers each, in the
  /// fast parser's tree: writes row r's numbers from out[r * maxCols] on and its length to
  /// lengths[r], the number of rows to `rows`, and answers true. False for anything else.
  bool ReadNumberRows(double* out, std::uint8_t* lengths, size_t maxRows, size_t maxCols,
                      size_t* rows) const;
  bool ReadIntegerRows(std::int64_t* out, std::uint8_t* lengths, size_t maxRows, size_t maxCols,
                       size_t* rows) const;
  /// The value as nlohmann's JSON writes it (for messages).
  std::string dump() const;

 private:
  friend void ParseSceneJson(std::string_view text, bool padded, const std::string& file,
                             ParsedScene* out);
  nlohmann::json ToNlohmann() const;

  const nlohmann::json* json_ = nullptr;
  // A value of the fast parser's tree (simdjson's dom::element), and the last element read by
  // index with its place, so that reading the elements in order does not start over each time.
  bool fast_ = false;
  alignas(8) unsigned char element_[16] = {};
  mutable size_t cacheIndex_ = static_cast<size_t>(-1);
  alignas(8) mutable unsigned char cacheElement_[16] = {};
};

/// The parse of a scene file's text, holding the tree its values are in.
class ParsedScene {
 public:
  ParsedScene();
  ~ParsedScene();
  ParsedScene(const ParsedScene&) = delete;
  ParsedScene& operator=(const ParsedScene&) = delete;

  /// The root value. The fast parser's tree holds copies of the strings.
  JsonValue Root() const { return root_; }

  /// Whether an object of the fast parser's tree gives a key twice. For a large text this is
  /// looked for on another thread while the caller loads the tree, and the answer waits for
  /// it; a tree with a key given twice must be read again with ReadPrecisely.
  bool HasDuplicateKey();
  /// Reads `text` again with the precise parser, which names the place of the mistake (and
  /// throws SceneError), or else makes its tree the root.
  void ReadPrecisely(std::string_view text, const std::string& file);
  /// Frees the tree on another thread (it is large, and freeing takes time); Root() is null
  /// from then on.
  void ReleaseBehind();

 private:
  friend void ParseSceneJson(std::string_view text, bool padded, const std::string& file,
                             ParsedScene* out);
  struct Fast;
  std::shared_ptr<Fast> fast_;  // shared with work on another thread
  nlohmann::json tree_;
  JsonValue root_;
};

/// Parses `text` (comments allowed) into `out`. `padded`: at least kParsePadding readable bytes
/// follow the text, so the fast parser need not copy it. Throws SceneError naming `file`, the
/// line and column (and the JSON path where it helps) for text that is not JSON and for nesting
/// deeper than kMaxJsonNesting. A key that appears twice in one object is found by
/// ParsedScene::HasDuplicateKey, and ReadPrecisely then names both places; until then the text
/// must stay.
void ParseSceneJson(std::string_view text, bool padded, const std::string& file, ParsedScene* out);

/// The precise parse alone: `text` (comments allowed) into `root`, or SceneError naming the
/// place of the mistake.
void ParsePrecisely(std::string_view text, const std::string& file, nlohmann::json* root);

/// Frees every value below `v`, leaves first, without allocating. The library's own destructor
/// gathers the children of a large array into a new vector first, which fails when memory has
/// run out, and a destructor that throws ends the program.
void ReleaseJson(nlohmann::json& v) noexcept;

}  // namespace pmxapp::sceneload
