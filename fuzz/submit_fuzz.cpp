// A "submit" payload through mapping, the field rules, raster (or raw label) verification and
// the digest.
// Input: the payload's JSON text, optionally followed by a NUL byte and raw PNG bytes; the PNG
// bytes then replace "base64" (Base64-encoded here) and declare their header's size, so that
// mutations reach the PNG decoder instead of breaking the Base64 text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/json.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/payload_digest.hpp"
#include "domain/submit/raster_payload.hpp"
#include "domain/submit/raw_label.hpp"
#include "domain/submit/submit_request.hpp"
#include "fuzz_check.hpp"
#include "protocol/requests.hpp"
#include "test_png.hpp"

using namespace vantrel;

namespace {

// Decoding for printing allocates the whole bitmap; the png target covers the large ones.
constexpr std::uint64_t MAX_CHECKED_BITMAP_BYTES = 16u << 20;

std::uint32_t big_endian_at(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

bool is_lower_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t* const end = data + size;
  const std::uint8_t* const separator = std::find(data, end, std::uint8_t{0});

  const JsonValue payload = JsonValue::parse(data, separator, nullptr, false);
  if (payload.is_discarded()) return 0;
  Result<SubmitRequest> request = map_submit_request(payload);
  if (!request) {
    FUZZ_CHECK(request.error().code == ErrorCode::BAD_REQUEST);
    return 0;
  }
  if (separator != end) {
    const std::uint8_t* png = separator + 1;
    request->payload.base64 = test_png::encode_base64({png, end});
    if (end - png >= 24) {
      request->payload.width_px = big_endian_at(png + 16);
      request->payload.height_px = big_endian_at(png + 20);
    }
  }

  if (!validate_submit_request(*request)) return 0;
  if (const auto language = raw_language_of_format(request->payload.format)) {
    // A printer-language label: scanned, a settings command refused unless allowed.
    const auto label = verify_raw_payload(*language, request->payload, request->dpi,
                                          request->printer_settings_allowed);
    if (!label) {
      FUZZ_CHECK(label.error().code == ErrorCode::BAD_REQUEST ||
                 label.error().code == ErrorCode::PAYLOAD_TOO_LARGE);
      return 0;
    }
    FUZZ_CHECK(request->printer_settings_allowed || label->scan.settings_command.empty());
    const std::string digest = compute_raw_payload_sha256(
        request->payload.format, label->bytes, request->printer, request->media, request->dpi,
        request->copies, request->printer_settings_allowed);
    FUZZ_CHECK(digest.size() == 64 && is_lower_hex(digest));
    return 0;
  }
  const auto png = verify_raster_payload(request->payload);
  if (!png) {
    FUZZ_CHECK(png.error().code == ErrorCode::BAD_REQUEST ||
               png.error().code == ErrorCode::PAYLOAD_TOO_LARGE);
    return 0;
  }
  FUZZ_CHECK(png->size() <= MAX_LABEL_PNG_BYTES);
  const std::string digest =
      compute_payload_sha256(*png, request->printer, request->media, request->dpi, request->copies);
  FUZZ_CHECK(digest.size() == 64 && is_lower_hex(digest));

  const std::uint64_t bitmap_bytes =
      std::uint64_t{4} * request->payload.width_px * request->payload.height_px;
  if (bitmap_bytes <= MAX_CHECKED_BITMAP_BYTES) {
    const Result<LabelBitmap> bitmap = decode_label_bitmap(*png);
    FUZZ_CHECK(bitmap.has_value());
    FUZZ_CHECK(bitmap->width == request->payload.width_px &&
               bitmap->height == request->payload.height_px);
  }
  return 0;
}
