// Arbitrary bytes as standard input of the host as the executable composes it: framing,
// envelope decoding, routing, and every message type through the real flows over in-memory state
// files, an in-memory print system and watchdogs, for as many messages as the input holds. Every
// answer must be a framed JSON envelope, and every message must release the lock and disarm its
// watchdog.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "domain/printing/print_system.hpp"
#include "fake_print_system.hpp"
#include "fake_state_files.hpp"
#include "fake_streams.hpp"
#include "fake_watchdogs.hpp"
#include "fuzz_check.hpp"
#include "protocol/message_loop.hpp"

using namespace vantrel;

namespace {

// The host as the executable composes it, over in-memory state files and a print system whose
// outcomes follow the request, so that every settling path and every job progress is reachable:
// a document ends by its page count (the copies), a job's progress follows its number.
struct FuzzHost {
  FuzzHost() {
    printing.queue_list = {{"Label Printer", PrintQueueState::idle}};
    printing.default_name = "Label Printer";
    printing.area = {203, 203, 2436, 3654};
    for (std::uint32_t job = 0; job < 64; ++job) {
      printing.jobs[{"Label Printer", job}] =
          static_cast<JobProgress>(job % (static_cast<std::uint32_t>(JobProgress::unknown) + 1));
    }
    printing.script =
        [](std::string_view step,
           const fakes::FakePrintSystem::Document& document) -> std::optional<PrintFailure> {
      if (step != "end") return std::nullopt;
      switch (document.pages.size() % 5) {
        case 2:
          return PrintFailure{PrintReach::nothing, {ErrorCode::PRE_SUBMIT_UNAVAILABLE, "closed"}};
        case 3:
          return PrintFailure{PrintReach::unknown, {ErrorCode::UNKNOWN_OUTCOME, "maybe"}};
        case 4:
          return PrintFailure{PrintReach::refused, {ErrorCode::SUBMISSION_REJECTED, "rejected"}};
        default:
          return std::nullopt;
      }
    };
  }

  fakes::FakeStateFiles files;
  fakes::FakeWatchdogs watchdogs;
  fakes::FakePrintSystem printing;
  Host host{files.store(), printing, watchdogs};
};

// The bodies of the whole frames at the start of the input.
std::vector<std::string> frame_bodies(std::span<const std::uint8_t> input) {
  std::vector<std::string> bodies;
  while (input.size() >= 4) {
    const std::size_t length =
        input[0] | input[1] << 8 | input[2] << 16 | static_cast<std::size_t>(input[3]) << 24;
    if (input.size() - 4 < length) break;
    bodies.emplace_back(reinterpret_cast<const char*>(input.data() + 4), length);
    input = input.subspan(4 + length);
  }
  return bodies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Reads of varying size, as a pipe delivers them.
  fakes::MemorySource input(std::string(reinterpret_cast<const char*>(data), size), 1 + size % 7);
  fakes::MemorySink output;
  FuzzHost host;

  const Status served = serve_messages(input, output, host.host);
  if (!served) FUZZ_CHECK(served.error().code == ErrorCode::IO_ERROR);

  // Answers come one per frame, in order; a body holding a NUL byte is never one JSON text.
  const std::vector<std::string> requests = frame_bodies({data, size});
  const std::vector<std::string> answers = output.bodies();
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const JsonValue answer = JsonValue::parse(answers[i], nullptr, false);
    FUZZ_CHECK(answer.is_object());
    FUZZ_CHECK(answer.contains("ok") && answer["ok"].is_boolean());
    if (i < requests.size() && requests[i].find('\0') != std::string::npos) {
      FUZZ_CHECK(answer["ok"] == false);
    }
  }
  FUZZ_CHECK(!host.files.lock_held());
  FUZZ_CHECK(host.files.open_handle_count() == 0);
  FUZZ_CHECK(host.watchdogs.armed_now == 0);
  return 0;
}
