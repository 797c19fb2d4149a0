// The text of a scene file: JSON laid out for people, short arrays and objects on one line
// and long runs of numbers filled into lines of at most 100 characters.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace pmxapp {

/// `root` as the scene file's text, ending in a line break.
std::string RenderSceneText(const nlohmann::ordered_json& root);

}  // namespace pmxapp
