#include "domain/submit/raster_payload.hpp"

#include <array>
#include <span>

#include "domain/submit/base64.hpp"
#include "domain/submit/png_read_session.hpp"

namespace vantrel {
namespace {

constexpr std::array<std::uint8_t, 8> PNG_SIGNATURE{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t PNG_HEADER_BYTES = 24;  // signature, first chunk's length and type, sides

std::unexpected<HostError> too_large() {
  return fail(ErrorCode::PAYLOAD_TOO_LARGE, "The PNG label exceeds the helper limit.");
}

std::unexpected<HostError> bad_request(std::string message) {
  return fail(ErrorCode::BAD_REQUEST, std::move(message));
}

// Decodes every row and the chunks after the image data, keeping nothing: libpng's own row
// buffer is the only one, and an interlaced image is walked pass by pass through the same rows.
bool decode_all_rows(PngReadSession& session) {
  return session.guarded([&session] {
    const int passes = png_set_interlace_handling(session.png());
    png_read_update_info(session.png(), session.info());
    session.read_image(passes, nullptr, 0);
  });
}

}  // namespace

Result<std::vector<std::uint8_t>> verify_raster_payload(const RasterPayload& raster) {
  if (raster.base64.size() > MAX_BASE64_TEXT_BYTES) return too_large();

  auto decoded = decode_base64_strict(raster.base64);
  if (!decoded) return bad_request("The raster payload is not valid base64.");
  std::vector<std::uint8_t> png = std::move(*decoded);
  if (png.size() > MAX_LABEL_PNG_BYTES) return too_large();

  // The header is judged on the raw bytes first, so these answers do not depend on the decoder.
  if (png.size() < PNG_HEADER_BYTES ||
      !std::equal(PNG_SIGNATURE.begin(), PNG_SIGNATURE.end(), png.begin()) || png[12] != 'I' ||
      png[13] != 'H' || png[14] != 'D' || png[15] != 'R') {
    return bad_request("The raster payload is not a PNG.");
  }
  const std::uint32_t header_width = read_png_u32(png.data() + 16);
  const std::uint32_t header_height = read_png_u32(png.data() + 20);
  if (header_width == 0 || header_height == 0) {
    return bad_request("The PNG has invalid dimensions.");
  }
  if (header_width != raster.width_px || header_height != raster.height_px) {
    return bad_request("Declared raster dimensions do not match the PNG.");
  }

  PngReadSession session(png);
  if (!session.read_header() || !decode_all_rows(session)) {
    return bad_request("The raster payload is not a valid PNG image.");
  }
  if (session.width() != raster.width_px || session.height() != raster.height_px) {
    return bad_request("The decoded PNG dimensions do not match its header.");
  }
  return png;
}

}  // namespace vantrel
