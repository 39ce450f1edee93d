#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace vantrel {

// The raster part of a "submit" payload: the whole PNG file, Base64-encoded.
struct RasterPayload {
  std::string format;
  std::string base64;
  std::uint32_t width_px = 0;
  std::uint32_t height_px = 0;
};

// 5,242,880 * 4 / 3 rounded down, plus 16: longer text cannot hold an acceptable label.
inline constexpr std::size_t MAX_BASE64_TEXT_BYTES = 6'990'522;
inline constexpr std::size_t MAX_LABEL_PNG_BYTES = 5'242'880;

// Proves that the payload is strict Base64 of a PNG of exactly the declared size that decodes
// completely, and returns the PNG bytes. Keeps no image-sized buffer: rows are decoded and
// dropped one at a time.
[[nodiscard]] Result<std::vector<std::uint8_t>> verify_raster_payload(const RasterPayload& raster);

}  // namespace vantrel
