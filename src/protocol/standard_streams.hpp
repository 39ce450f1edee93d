#pragma once

#include <memory>
#include <string_view>

#include "protocol/channel.hpp"

namespace vantrel {

// The process's standard input and output as raw binary byte streams, taken once at start.
struct StandardStreams {
  std::unique_ptr<ByteSource> input;
  std::unique_ptr<ByteSink> output;
};

[[nodiscard]] StandardStreams take_standard_streams();

// Writes one diagnostic line to standard error; failures are ignored (nothing else can report
// them).
void write_standard_error(std::string_view line);

}  // namespace vantrel
