#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "base/error.hpp"
#include "domain/printing/label_bitmap.hpp"

namespace vantrel {

// Decodes label PNG bytes (already verified) into the bitmap that rendering draws: every colour
// type and depth, palette through its colours, 16-bit samples as (v + 128) / 257 rounded down,
// colours taken as stored and alpha dropped. The bitmap is the only image-sized allocation. The
// failure's message is for diagnosis; the submit flow reports its own.
[[nodiscard]] Result<LabelBitmap> decode_label_bitmap(std::span<const std::uint8_t> png);

// The label's image as its verified PNG stores it, where a PDF can carry that unchanged and it
// means the pixels decode_label_bitmap gives: grey at 1 to 8 bits or 8-bit colour, without
// palette, transparency or interlacing. nullopt for any other PNG.
[[nodiscard]] std::optional<LabelBitmap> encoded_label_image(std::span<const std::uint8_t> png);

}  // namespace vantrel
