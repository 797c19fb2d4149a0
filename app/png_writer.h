// A small PNG encoder (stored deflate blocks): enough for the textures the app writes itself.
#pragma once

#include <cstdint>
#include <vector>

namespace pmxapp {

/// Encodes 8-bit RGB pixels (row by row, top row first, 3 bytes per pixel) as a PNG file.
/// `rgb` must hold width * height * 3 bytes.
std::vector<std::uint8_t> EncodePngRgb(int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace pmxapp
