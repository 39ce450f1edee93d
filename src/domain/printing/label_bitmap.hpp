#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vantrel {

// A label's image as its PNG stores it, for a document that takes PNG rows as they are: the zlib
// stream of its top-down rows, each led by its PNG filter byte, without interlacing.
struct EncodedLabelImage {
  std::vector<std::uint8_t> rows_zlib;
  std::uint8_t colors = 1;  // 1: grey, 3: red, green, blue
  std::uint8_t bits = 8;    // per sample: 1, 2, 4 or 8
};

// A label as a document draws it. Decoded: top-down rows of 4 * width bytes, each pixel blue,
// green, red, 255. For a print system that takes encoded images, `encoded` instead where the PNG
// allows, and no pixels.
struct LabelBitmap {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Not zero-filled on allocation: the decoder writes every byte.
  std::unique_ptr<std::uint8_t[]> pixels;
  std::optional<EncodedLabelImage> encoded;

  [[nodiscard]] std::size_t size_bytes() const noexcept { return std::size_t{4} * width * height; }
};

}  // namespace vantrel
