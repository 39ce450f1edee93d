#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantrel {

// A decoded label: top-down rows of 4 * width bytes, each pixel blue, green, red, 255.
struct LabelBitmap {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Not zero-filled on allocation: the decoder writes every byte.
  std::unique_ptr<std::uint8_t[]> pixels;

  [[nodiscard]] std::size_t size_bytes() const noexcept { return std::size_t{4} * width * height; }
};

}  // namespace vantrel
