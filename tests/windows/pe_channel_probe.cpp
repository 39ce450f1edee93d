// The framing over the real standard handles on its own (vantrel-channel-probe.exe, a
// test-only target of the Windows build), run under Wine by test_pe_channel.py: any byte a
// frame can hold must pass, which the Windows C runtime's text-mode streams would break.
// Never shipped.
//   (no arguments)   echo every request frame back as the answer until end of input; a
//                    framing or I/O failure ends as the host's does ("IO_ERROR", status 1)
//   os-error CODE    write the OS error text of CODE to standard output
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/os_error.hpp"
#include "protocol/channel.hpp"
#include "protocol/standard_streams.hpp"

int main(int argc, char** argv) {
  vantrel::StandardStreams streams = vantrel::take_standard_streams();
  if (argc == 3 && std::string_view(argv[1]) == "os-error") {
    const std::string text =
        vantrel::os_error_text(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return streams.output->write({bytes, text.size()}) ? 0 : 1;
  }
  for (;;) {
    auto message = vantrel::read_native_message(*streams.input);
    if (!message) {
      vantrel::write_standard_error(
          "vantrel-print-host: " + std::string(vantrel::error_code_name(message.error().code)) +
          "\n");
      return 1;
    }
    if (!message->has_value()) return 0;
    if (auto written = vantrel::write_native_message(*streams.output, **message); !written) {
      vantrel::write_standard_error(
          "vantrel-print-host: " + std::string(vantrel::error_code_name(written.error().code)) +
          "\n");
      return 1;
    }
  }
}
