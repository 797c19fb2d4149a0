// The text of a scene file: JSON laid out for people, short arrays and objects on one line
// and long runs of numbers filled into lines of at most 100 characters.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "c4d.h"

namespace pmxapp {

/// Arrays of numbers (points, polygons, UVs, weights), possibly nested, kept as the text of
/// their numbers beside the JSON tree: a tree of millions of values is slow to build and to
/// lay out. The tree holds a placeholder for each top-level array (Placeholder()).
class NumberArrays {
 public:
  /// Opens an array (inside the open one, if any).
  void Open();
  /// Closes the innermost open array; when that was a top-level array, answers its
  /// placeholder for the tree.
  nlohmann::ordered_json Close();

  /// A number as the file writes it: a whole number without ".0", anything else as the
  /// shortest text that reads back exactly. Answers false (and writes null) when `v` is not
  /// finite.
  bool Number(double v);
  /// A single-precision value as the shortest decimal that reads back as it
  /// (scene::ShortestForFloat32).
  bool Number32(Float32 v);
  void Integer(Int64 v);

  void Clear();
  /// Makes room for `tokens` more numbers and arrays of about `chars` characters.
  void Reserve(size_t tokens, size_t chars);
  /// Characters of all numbers so far.
  size_t CharCount() const { return chars_.size(); }

  /// Whether `v` stands for one of these arrays.
  static bool IsPlaceholder(const nlohmann::ordered_json& v) { return v.is_binary(); }

  struct Token {
    std::uint32_t size = 0;  // a number's characters, or an array's elements and kArrayBit
    std::uint32_t span = 1;  // tokens of the array with everything inside it (1 for a number)
    bool array() const { return size & kArrayBit; }
    std::uint32_t count() const { return size & ~kArrayBit; }
    static constexpr std::uint32_t kArrayBit = std::uint32_t(1) << 31;
  };
  const Token& TokenAt(size_t i) const { return tokens_[i]; }
  const char* Chars() const { return chars_.data(); }
  /// The first token and character of the array behind a placeholder.
  size_t FirstToken(const nlohmann::ordered_json& placeholder) const;
  size_t FirstChar(const nlohmann::ordered_json& placeholder) const;

 private:
  void Scalar(const char* text, size_t n);
  bool Format(double v, char* buf, size_t* n);

  /// The text of recently written values by their bits: meshes repeat UVs and weights
  /// often, and finding the shortest text is most of the cost of a number.
  struct Cached {
    std::uint64_t bits = ~std::uint64_t(0);  // a NaN, which is never cached
    std::uint8_t size = 0;
    char text[32] = {};
  };
  std::vector<Cached> cache64_, cache32_;

  std::string chars_;
  std::vector<Token> tokens_;
  std::vector<size_t> open_;                     // tokens of the open arrays
  std::vector<size_t> open_chars_;               // characters before each open array
  std::vector<std::pair<size_t, size_t>> tops_;  // first token and character of each array
};

/// `root` as the scene file's text, ending in a line break. Placeholders in `root` are laid
/// out from `arrays`.
std::string RenderSceneText(const nlohmann::ordered_json& root,
                            const NumberArrays* arrays = nullptr);

/// The text nlohmann's JSON writes for a double (shortest text that reads back exactly, with
/// ".0" on whole numbers); answers its length. `out` has room for 32 characters.
size_t FormatDouble(double v, char* out);

}  // namespace pmxapp
