#pragma once

#include <cstdint>
#include <span>

#include "base/error.hpp"
#include "domain/printing/label_bitmap.hpp"

namespace vantrel {

// Decodes label PNG bytes (already verified) into the bitmap that rendering draws: every colour
// type and depth, palette through its colours, 16-bit samples as (v + 128) / 257 rounded down,
// colours taken as stored and alpha dropped. The bitmap is the only image-sized allocation. The
// failure's message is for diagnosis; the submit flow reports its own.
[[nodiscard]] Result<LabelBitmap> decode_label_bitmap(std::span<const std::uint8_t> png);

}  // namespace vantrel
