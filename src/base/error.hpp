#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace vantrel {

// The error value of every subsystem: a catalogue code and a message for the extension's user.
struct HostError {
  std::string code;
  std::string message;

  bool operator==(const HostError&) const = default;
};

template <class T>
using Result = std::expected<T, HostError>;

// A fallible operation that produces nothing on success.
using Status = std::expected<void, HostError>;

[[nodiscard]] inline std::unexpected<HostError> fail(std::string_view code, std::string message) {
  return std::unexpected(HostError{std::string(code), std::move(message)});
}

// Error codes of the catalogue. Attempt states and "HOST_RESTARTED" are ledger words, not codes.
namespace code {
inline constexpr std::string_view BAD_REQUEST = "BAD_REQUEST";
inline constexpr std::string_view PAYLOAD_TOO_LARGE = "PAYLOAD_TOO_LARGE";
inline constexpr std::string_view PROTOCOL_MISMATCH = "PROTOCOL_MISMATCH";
inline constexpr std::string_view UNKNOWN_MESSAGE = "UNKNOWN_MESSAGE";
inline constexpr std::string_view STATE_UNAVAILABLE = "STATE_UNAVAILABLE";
inline constexpr std::string_view BRIDGE_BUSY = "BRIDGE_BUSY";
inline constexpr std::string_view STATE_VERSION = "STATE_VERSION";
inline constexpr std::string_view STATE_CORRUPT = "STATE_CORRUPT";
inline constexpr std::string_view JOB_NOT_FOUND = "JOB_NOT_FOUND";
inline constexpr std::string_view INTENT_CONFLICT = "INTENT_CONFLICT";
inline constexpr std::string_view ATTEMPT_FAILED = "ATTEMPT_FAILED";
inline constexpr std::string_view UNKNOWN_OUTCOME = "UNKNOWN_OUTCOME";
inline constexpr std::string_view PRE_SUBMIT_UNAVAILABLE = "PRE_SUBMIT_UNAVAILABLE";
inline constexpr std::string_view MEDIA_UNSUPPORTED = "MEDIA_UNSUPPORTED";
inline constexpr std::string_view MEDIA_MISMATCH = "MEDIA_MISMATCH";
inline constexpr std::string_view SUBMISSION_REJECTED = "SUBMISSION_REJECTED";
inline constexpr std::string_view PRINT_SYSTEM_UNAVAILABLE = "PRINT_SYSTEM_UNAVAILABLE";
inline constexpr std::string_view IO_ERROR = "IO_ERROR";
}  // namespace code

// The identifier rule shared by "request_id" and "intent_id": 1..max_len bytes of ASCII letters,
// digits, "-", ".", ":" and "_".
inline constexpr std::size_t MAX_INTENT_ID_LEN = 160;

[[nodiscard]] bool is_valid_identifier(std::string_view text, std::size_t max_len) noexcept;

// "<key> contains unsupported characters."
[[nodiscard]] HostError unsupported_characters(std::string_view key);

}  // namespace vantrel
