#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vantrel {

// The error catalogue. Attempt states and "HOST_RESTARTED" are ledger words, not codes.
enum class ErrorCode : std::uint8_t {
  BAD_REQUEST,
  PAYLOAD_TOO_LARGE,
  PROTOCOL_MISMATCH,
  UNKNOWN_MESSAGE,
  STATE_UNAVAILABLE,
  BRIDGE_BUSY,
  STATE_VERSION,
  STATE_CORRUPT,
  JOB_NOT_FOUND,
  INTENT_CONFLICT,
  ATTEMPT_FAILED,
  UNKNOWN_OUTCOME,
  PRE_SUBMIT_UNAVAILABLE,
  MEDIA_UNSUPPORTED,
  MEDIA_MISMATCH,
  SUBMISSION_REJECTED,
  PRINT_SYSTEM_UNAVAILABLE,
  IO_ERROR,
};

// The code's name, as answers carry it and the ledger stores it: the one table of names.
[[nodiscard]] std::string_view error_code_name(ErrorCode code) noexcept;

// The error value of every subsystem: a catalogue code and a message for the extension's user.
struct HostError {
  ErrorCode code = ErrorCode::BAD_REQUEST;
  std::string message;
  // INTENT_CONFLICT: the state of the attempt stored under the intent id, so that the caller
  // knows whether that label printed (empty otherwise).
  std::string stored_state{};

  bool operator==(const HostError&) const = default;
};

template <class T>
using Result = std::expected<T, HostError>;

// A fallible operation that produces nothing on success.
using Status = std::expected<void, HostError>;

[[nodiscard]] inline std::unexpected<HostError> fail(ErrorCode code, std::string message) {
  return std::unexpected(HostError{code, std::move(message)});
}

}  // namespace vantrel
