#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/channel.hpp"

namespace vantrel {

// The process's standard input and output as raw binary byte streams, taken once at start.
struct StandardStreams {
  std::unique_ptr<ByteSource> input;
  std::unique_ptr<ByteSink> output;
};

[[nodiscard]] StandardStreams take_standard_streams();

// The arguments the process was started with, after the program's name, as UTF-8: what the
// browser passes (its extension's origin, or the manifest and extension id of Firefox).
[[nodiscard]] std::vector<std::string> process_arguments(int argc, char** argv);

// Writes one diagnostic line to standard error; failures are ignored (nothing else can report
// them).
void write_standard_error(std::string_view line);

}  // namespace vantrel
