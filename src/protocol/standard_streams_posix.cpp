#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "protocol/standard_streams.hpp"

namespace vantrel {
namespace {

class FdSource final : public ByteSource {
 public:
  std::expected<std::size_t, StreamFailure> read(std::span<std::uint8_t> buffer) override {
    for (;;) {
      const ssize_t got = ::read(0, buffer.data(), buffer.size());
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return std::unexpected(StreamFailure{static_cast<std::uint32_t>(errno)});
    }
  }
};

class FdSink final : public ByteSink {
 public:
  std::expected<std::size_t, StreamFailure> write(std::span<const std::uint8_t> bytes) override {
    for (;;) {
      const ssize_t put = ::write(1, bytes.data(), bytes.size());
      if (put >= 0) return static_cast<std::size_t>(put);
      if (errno != EINTR) return std::unexpected(StreamFailure{static_cast<std::uint32_t>(errno)});
    }
  }
  std::expected<void, StreamFailure> flush() override { return {}; }
};

}  // namespace

StandardStreams take_standard_streams() {
  // A browser that goes away closes our standard output: that must be a write error (IO_ERROR,
  // status 1), not a signal that ends the process silently.
  ::signal(SIGPIPE, SIG_IGN);
  return StandardStreams{std::make_unique<FdSource>(), std::make_unique<FdSink>()};
}

std::vector<std::string> process_arguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

void write_standard_error(std::string_view line) {
  while (!line.empty()) {
    const ssize_t put = ::write(2, line.data(), line.size());
    if (put <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(put));
  }
}

}  // namespace vantrel
