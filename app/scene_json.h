// The JSON text of a scene file turned into a document tree, with what the JSON library leaves
// to its caller: the places of duplicate keys, a bound on nesting, and a tree that can be freed
// when memory has run out.
#pragma once

#include <string>

#include "scene_loader.h"

namespace pmxapp::sceneload {

/// Arrays and objects nest at most this deep in a scene file: far more than the deepest
/// object tree and parameter container the loader accepts need, and few enough that freeing
/// the tree can recurse.
constexpr int kMaxJsonNesting = 2048;

/// Parses `text` (comments allowed) into `root`. Throws SceneError naming `file`, the line and
/// column (and the JSON path where it helps) for text that is not JSON, for nesting deeper than
/// kMaxJsonNesting and for a key that appears twice in one object (naming both places).
void ParseSceneJson(const std::string& text, const std::string& file, Json* root);

/// Frees every value below `v`, leaves first, without allocating. The library's own destructor
/// gathers the children of a large array into a new vector first, which fails when memory has
/// run out, and a destructor that throws ends the program.
void ReleaseJson(Json& v) noexcept;

/// Frees a tree with ReleaseJson when it goes out of scope, also while an exception (such as
/// running out of memory half way through the parse) passes by.
class JsonRelease {
 public:
  explicit JsonRelease(Json& v) : v_(v) {}
  ~JsonRelease() { ReleaseJson(v_); }
  JsonRelease(const JsonRelease&) = delete;
  JsonRelease& operator=(const JsonRelease&) = delete;

 private:
  Json& v_;
};

}  // namespace pmxapp::sceneload
