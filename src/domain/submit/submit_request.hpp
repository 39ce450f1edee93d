#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/submit/raster_payload.hpp"

namespace vantrel {

// The payload of a "submit" message.
struct SubmitRequest {
  std::string intent_id;
  std::string printer;
  std::string title;
  std::uint16_t copies = 0;
  std::optional<std::string> media;  // absent or null: no media token
  std::uint32_t dpi = 0;
  RasterPayload payload;
  // A printer-language label may carry commands that change the printer beyond the job
  // ("printer_settings": "allow").
  bool printer_settings_allowed = false;
};

// The field rules, in order; the first that fails is reported (always BAD_REQUEST).
[[nodiscard]] Status validate_submit_request(const SubmitRequest& request);

// The rules of the settings that a batch's labels share (printer, title, dpi and media), as
// validate_submit_request applies them.
[[nodiscard]] Status validate_shared_settings(std::string_view printer, std::string_view title,
                                              std::uint32_t dpi,
                                              const std::optional<std::string>& media);

// The rule of a queue name that a request names: 1 to 256 UTF-8 bytes, no control characters.
[[nodiscard]] Status validate_printer_name(std::string_view printer);

}  // namespace vantrel
