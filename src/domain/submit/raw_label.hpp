#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "domain/printing/media.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/submit/raster_payload.hpp"

namespace vantrel {

// A label written in a printer language, sent to the printer unchanged. The host reads only
// what it must: the size the label states, how many labels it makes, and whether it carries a
// command that changes the printer beyond the job. A bounded, linear scan, not an interpreter.
enum class RawLanguage : std::uint8_t { zpl, epl };

// The payload format word of a language ("zpl", "epl"); nullopt for any other word.
[[nodiscard]] std::optional<RawLanguage> raw_language_of_format(std::string_view format) noexcept;
[[nodiscard]] std::string_view format_of_raw_language(RawLanguage language) noexcept;

// What a label states about its geometry, at the resolution it was written for.
struct RawLabelGeometry {
  std::optional<std::int32_t> width_um;   // ZPL ^PW, EPL q
  std::optional<std::int32_t> length_um;  // ZPL ^LL, EPL Q
  bool inverted = false;                  // ZPL ^POI: turned half a turn, same size
  bool mirrored = false;                  // ZPL ^PMY
  std::uint64_t labels = 0;               // per copy: ZPL formats times ^PQ, EPL P

  [[nodiscard]] bool declared() const noexcept { return width_um || length_um; }
  bool operator==(const RawLabelGeometry&) const = default;
};

struct RawLabelScan {
  RawLabelGeometry geometry;
  // The first command that changes the printer beyond the job, as its language's guide writes
  // it ("^JUS", "~JR", "^default"); empty when there is none.
  std::string settings_command;
};

// A printer-language label as it will be sent, and what the scan found in it.
struct RawLabel {
  RawLanguage language = RawLanguage::zpl;
  std::vector<std::uint8_t> bytes;
  RawLabelScan scan;
};

// Proves that the payload is strict Base64 of 1 to MAX_LABEL_PNG_BYTES bytes and scans them;
// a settings command is refused (BAD_REQUEST) unless the caller allowed them.
[[nodiscard]] Result<RawLabel> verify_raw_payload(RawLanguage language,
                                                  const RasterPayload& payload, std::uint32_t dpi,
                                                  bool settings_allowed);

// Reads the label; dpi converts the dots it states into micrometres.
[[nodiscard]] RawLabelScan scan_raw_label(RawLanguage language, std::span<const std::uint8_t> bytes,
                                          std::uint32_t dpi);

// The refusal of a label that carries a settings command, naming it and the opt-in.
[[nodiscard]] HostError settings_command_refused(std::string_view command);

// Whether the label prints exactly on the page: its dpi one the queue prints at (when the queue
// tells its resolutions), and each stated dimension within MEDIA_MATCH_TOLERANCE_UM of the page.
// The refusal is MEDIA_MISMATCH, for certain.
[[nodiscard]] std::optional<PrintFailure> check_raw_label_fit(
    const RawLabelGeometry& geometry, std::uint32_t dpi, const std::optional<MediaSize>& page,
    const std::vector<Resolution>& resolutions);

}  // namespace vantrel
