#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/host_error.hpp"
#include "host/json.hpp"
#include "submit/raster_payload.hpp"

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
};

// Maps the parsed "payload" of a "submit" envelope. Every failure, at any depth, is
// BAD_REQUEST "The print job does not match protocol 1.".
[[nodiscard]] Result<SubmitRequest> map_submit_request(const JsonValue& payload);

// The field rules, in order; the first that fails is reported (always BAD_REQUEST).
[[nodiscard]] Status validate_submit_request(const SubmitRequest& request);

}  // namespace vantrel
