#include "domain/submit/submit_request.hpp"

#include "base/identifier.hpp"
#include "base/utf.hpp"
#include "domain/submit/raw_label.hpp"

namespace vantrel {
namespace {

constexpr std::size_t MAX_PRINTER_BYTES = 256;
constexpr std::size_t MAX_TITLE_BYTES = 200;
constexpr std::size_t MAX_MEDIA_BYTES = 128;
constexpr std::string_view TITLE_TEXT = "title is empty, too long, or contains control characters.";
constexpr std::string_view DPI_TEXT = "DPI must be between 72 and 1200.";

// The least and the greatest value a number of the request may take.
template <class Number>
struct NumberBounds {
  Number least;
  Number greatest;

  [[nodiscard]] constexpr bool contains(Number value) const noexcept {
    return value >= least && value <= greatest;
  }
};

constexpr NumberBounds<std::uint16_t> COPIES{1, 10};
constexpr NumberBounds<std::uint32_t> DPI{72, 1200};
constexpr NumberBounds<std::uint32_t> RASTER_PX{16, 10'000};

// Control characters are judged on code points, so the continuation bytes of a multi-byte
// character never count on their own.
bool is_display_text(std::string_view text, std::size_t max_bytes) {
  if (text.empty() || text.size() > max_bytes) return false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = next_code_point(text, pos);
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F)) return false;
  }
  return true;
}

// Like an identifier, but without ":" and only up to 128 bytes.
bool is_valid_media_token(std::string_view text) {
  if (text.empty() || text.size() > MAX_MEDIA_BYTES) return false;
  for (unsigned char c : text) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

std::unexpected<HostError> bad_request(std::string message) {
  return fail(ErrorCode::BAD_REQUEST, std::move(message));
}

}  // namespace

Status validate_printer_name(std::string_view printer) {
  if (!is_display_text(printer, MAX_PRINTER_BYTES)) {
    return bad_request("printer is empty, too long, or contains control characters.");
  }
  return {};
}

Status validate_shared_settings(std::string_view printer, std::string_view title, std::uint32_t dpi,
                                const std::optional<std::string>& media) {
  if (auto valid = validate_printer_name(printer); !valid) return valid;
  if (!is_display_text(title, MAX_TITLE_BYTES)) return bad_request(std::string(TITLE_TEXT));
  if (!DPI.contains(dpi)) return bad_request(std::string(DPI_TEXT));
  if (media && !is_valid_media_token(*media))
    return std::unexpected(unsupported_characters("media"));
  return {};
}

Status validate_submit_request(const SubmitRequest& request) {
  if (!is_valid_identifier(request.intent_id, MAX_INTENT_ID_LEN)) {
    return std::unexpected(unsupported_characters("intent_id"));
  }
  if (auto printer = validate_printer_name(request.printer); !printer) return printer;
  if (!is_display_text(request.title, MAX_TITLE_BYTES)) {
    return bad_request(std::string(TITLE_TEXT));
  }
  if (!COPIES.contains(request.copies)) return bad_request("Copies must be between 1 and 10.");
  if (!DPI.contains(request.dpi)) return bad_request(std::string(DPI_TEXT));
  const bool raw = raw_language_of_format(request.payload.format).has_value();
  if (request.payload.format != "png" && !raw) {
    return bad_request("Protocol 1 accepts PNG, ZPL and EPL labels only.");
  }
  if (!raw && (!RASTER_PX.contains(request.payload.width_px) ||
               !RASTER_PX.contains(request.payload.height_px))) {
    return bad_request("Raster dimensions are outside the supported range.");
  }
  if (request.media && !is_valid_media_token(*request.media)) {
    return std::unexpected(unsupported_characters("media"));
  }
  return {};
}

}  // namespace vantrel
