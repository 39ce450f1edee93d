#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>

#include "base/error.hpp"

namespace vantrel {

// How far a label handed to the print system got, as far as the host can know. The submit
// flow decides from this alone what to keep of the attempt.
enum class PrintReach : std::uint8_t {
  nothing,  // nothing reached the print system: the attempt is forgotten and may be made again
  refused,  // refused for certain: nothing will print, and the attempt is recorded as failed
  unknown,  // a job may exist: the attempt is recorded as such and never repeated
};

struct PrintFailure {
  PrintReach reach = PrintReach::unknown;
  HostError error;

  bool operator==(const PrintFailure&) const = default;
};

// The print system's job number, or how printing failed.
using PrintOutcome = std::expected<std::uint32_t, PrintFailure>;

[[nodiscard]] inline std::unexpected<PrintFailure> print_failure(PrintReach reach, ErrorCode code,
                                                                 std::string message) {
  return std::unexpected(PrintFailure{reach, HostError{code, std::move(message)}});
}

// The failure alone, as a document's steps report it.
[[nodiscard]] inline std::optional<PrintFailure> failure_of(std::unexpected<PrintFailure> failure) {
  return std::move(failure.error());
}

}  // namespace vantrel
