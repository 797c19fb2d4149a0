// The built-in sample character that `pmxexport demo` exports: a small rigged figure with a
// textured head, weighted limbs, three materials and the module's PMX tags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pmxapp {

/// The sample as scene-file text; its skin and hair materials use the texture file
/// `textureName` (resolved beside the document).
std::string DemoSceneText(const std::string& textureName);

/// The sample's texture as a PNG file (face, hair, skin and cloth areas).
std::vector<std::uint8_t> DemoTexturePng();

}  // namespace pmxapp
