#include "png_writer.h"

#include <stb_image_write.h>

namespace pmxapp {

namespace {

void AppendTo(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::vector<std::uint8_t> EncodePngRgb(int width, int height,
                                       const std::vector<std::uint8_t>& rgb) {
  std::vector<std::uint8_t> out;
  if (!stbi_write_png_to_func(AppendTo, &out, width, height, 3, rgb.data(), width * 3)) out.clear();
  return out;
}

std::vector<std::uint8_t> EncodeTgaRgba(int width, int height,
                                        const std::vector<std::uint8_t>& rgba) {
  // Run-length encoded TGA is a later addition that not every texture reader in the MMD
  // world handles; the encoder's switch is a global of the library, and the app writes
  // images from one thread only.
  stbi_write_tga_with_rle = 0;
  std::vector<std::uint8_t> out;
  if (!stbi_write_tga_to_func(AppendTo, &out, width, height, 4, rgba.data())) out.clear();
  return out;
}

}  // namespace pmxapp
