// The label decoder on arbitrary PNG bytes, checked against verification: bytes that verify
// as a label of their header's size always decode to that size for printing, so the submit
// flow's "second decoding" failure is never reached by a verified payload.
#include <cstddef>
#include <cstdint>
#include <span>

#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/raster_payload.hpp"
#include "fuzz_check.hpp"
#include "test_png.hpp"

using namespace vantrel;

namespace {

std::uint32_t big_endian_at(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> png(data, size);
  const Result<LabelBitmap> bitmap = decode_label_bitmap(png);
  if (bitmap) {
    FUZZ_CHECK(bitmap->width > 0 && bitmap->height > 0 && bitmap->pixels != nullptr);
    const std::size_t bytes = bitmap->size_bytes();
    for (std::size_t i = 3; i < bytes; i += 4) FUZZ_CHECK(bitmap->pixels[i] == 0xFF);
  }

  if (size < 24) return 0;
  RasterPayload raster;
  raster.format = "png";
  raster.base64 = test_png::encode_base64({data, data + size});
  raster.width_px = big_endian_at(data + 16);
  raster.height_px = big_endian_at(data + 20);
  const auto verified = verify_raster_payload(raster);
  if (verified) {
    FUZZ_CHECK(verified->size() == size);
    FUZZ_CHECK(bitmap.has_value());
    FUZZ_CHECK(bitmap->width == raster.width_px && bitmap->height == raster.height_px);
  }
  return 0;
}
