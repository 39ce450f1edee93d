#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/error.hpp"
#include "base/json.hpp"
#include "base/version.hpp"

namespace vantrel {

inline constexpr std::uint32_t PROTOCOL_VERSION = 1;
inline constexpr std::size_t MAX_REQUEST_ID_LEN = 128;
inline constexpr std::size_t MAX_JSON_DEPTH = 127;

struct Request {
  std::uint32_t protocol = 0;
  std::string request_id;
  std::string type;
  JsonValue payload;  // null when absent
};

struct HostResponse {
  std::string request_id;
  Result<JsonValue> outcome;  // the result, or the error answered
};

// Strict decoding of one request body; std::nullopt when it is not a valid envelope.
[[nodiscard]] std::optional<Request> decode_envelope(std::span<const std::uint8_t> body);

[[nodiscard]] Status check_protocol(const Request& request);
[[nodiscard]] Status check_request_id(const Request& request);

[[nodiscard]] std::string encode_response(const HostResponse& response);

inline constexpr std::string_view INVALID_ENVELOPE_MESSAGE =
    "The native message is not valid protocol JSON.";
inline constexpr std::string_view UNKNOWN_MESSAGE_TEXT =
    "The print helper does not support that message type.";

}  // namespace vantrel
