// Image files the app makes itself: the demo character's texture (PNG) and the textures that
// a model file holds as raw texels (TGA). Encoded by the packaged stb_image_write.
#pragma once

#include <cstdint>
#include <vector>

namespace pmxapp {

/// Encodes 8-bit RGB pixels (row by row, top row first, 3 bytes per pixel) as a PNG file.
/// `rgb` must hold width * height * 3 bytes. Empty when the encoder fails.
std::vector<std::uint8_t> EncodePngRgb(int width, int height, const std::vector<std::uint8_t>& rgb);

/// Encodes 8-bit RGBA pixels (row by row, top row first, 4 bytes per pixel) as an uncompressed
/// 32-bit TGA file. `rgba` must hold width * height * 4 bytes. Empty when the encoder fails.
std::vector<std::uint8_t> EncodeTgaRgba(int width, int height,
                                        const std::vector<std::uint8_t>& rgba);

}  // namespace pmxapp
