// The text of a scene file: JSON laid out for people, short arrays and objects on one line
// and long runs of numbers filled into lines of at most 100 characters.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "c4d.h"

namespace pmxapp {

/// The tokens and characters of arrays of numbers, possibly nested: a few elements of a large
/// array at a time, as the layout needs them.
class NumberArrays {
 public:
  /// Opens an array (inside the open one, if any).
  void Open();
  /// Closes the innermost open array.
  void Close();

  /// A number as the file writes it: a whole number without ".0", anything else as the
  /// shortest text that reads back exactly. Answers false (and writes null) when `v` is not
  /// finite.
  bool Number(double v);
  /// A single-precision value as the shortest decimal that reads back as it
  /// (scene::ShortestForFloat32).
  bool Number32(Float32 v);
  void Integer(Int64 v);

  /// Forgets the tokens and characters (the cache of recent numbers stays).
  void Clear();

  struct Token {
    std::uint32_t size = 0;  // a number's characters, or an array's elements and kArrayBit
    std::uint32_t span = 1;  // tokens of the array with everything inside it (1 for a number)
    bool array() const { return size & kArrayBit; }
    std::uint32_t count() const { return size & ~kArrayBit; }
    static constexpr std::uint32_t kArrayBit = std::uint32_t(1) << 31;
  };
  const Token& TokenAt(size_t i) const { return tokens_[i]; }
  const char* Chars() const { return chars_.data(); }

 private:
  void Scalar(const char* text, size_t n);
  bool Format(double v, char* buf, size_t* n);

  /// The text of recently written values by their bits: meshes repeat UVs and weights
  /// often, and finding the shortest text is most of the cost of a number.
  struct Cached {
    std::uint64_t bits = ~std::uint64_t(0);  // a NaN, which is never cached
    char text[23] = {};                      // longer texts are not cached
    std::uint8_t size = 0;
  };
  std::vector<Cached> cache64_, cache32_;
  /// Writes the value of `bits` from `cache`, formatting it with format(buf) (which answers its
  /// length) when the cache does not hold it.
  template <typename FormatFn>
  void ScalarCached(std::vector<Cached>& cache, std::uint64_t bits, FormatFn format);

  std::string chars_;
  std::vector<Token> tokens_;
  std::vector<size_t> open_;  // tokens of the open arrays
};

/// A large array of numbers (points, polygons, UVs, weights) that the document holds: its
/// elements are formatted as the text is laid out, a few at a time, so that a mesh of millions
/// of values never exists as text in memory. The JSON tree holds a placeholder for it.
struct NumberSource {
  size_t count = 0;        // elements
  bool allScalar = false;  // whether every element is a number (else every one is an array)
  /// Appends the elements [first, last) to `out`: each a number, or an array (Open ... Close).
  std::function<void(size_t first, size_t last, NumberArrays& out)> elements;
};

/// The large arrays of a tree, by their placeholders.
class NumberSources {
 public:
  /// The placeholder of `source` for the tree.
  nlohmann::ordered_json Add(NumberSource source);
  void Clear() { sources_.clear(); }
  /// Whether `v` stands for one of these arrays.
  static bool IsPlaceholder(const nlohmann::ordered_json& v) { return v.is_binary(); }
  const NumberSource& At(const nlohmann::ordered_json& placeholder) const;

 private:
  std::vector<NumberSource> sources_;
};

/// Where laid-out text goes, piece by piece (pieces of about a megabyte at a time).
using TextSink = std::function<void(const char* text, size_t size)>;

/// `root` as the scene file's text, ending in a line break. Placeholders in `root` are laid
/// out from `sources`.
std::string RenderSceneText(const nlohmann::ordered_json& root,
                            const NumberSources* sources = nullptr);
/// The same text handed to `sink` in pieces, through one buffer of about a megabyte.
void RenderSceneText(const nlohmann::ordered_json& root, const NumberSources* sources,
                     const TextSink& sink);

/// The text nlohmann's JSON writes for a double (shortest text that reads back exactly, with
/// ".0" on whole numbers); answers its length. `out` has room for 32 characters.
size_t FormatDouble(double v, char* out);

}  // namespace pmxapp
