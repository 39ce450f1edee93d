// Arbitrary bytes as standard input of the host as the executable composes it: framing,
// envelope decoding, routing, and every message type through the real flows over in-memory state
// files, a scripted print system and watchdogs, for as many messages as the input holds. Every
// answer must be a framed JSON envelope, and every message must release the lock and disarm its
// watchdog.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "domain/printing/print_system.hpp"
#include "fake_state_files.hpp"
#include "fake_streams.hpp"
#include "fake_watchdogs.hpp"
#include "fuzz_check.hpp"
#include "protocol/host_handlers.hpp"

using namespace vantrel;

namespace {

// A print system whose outcomes follow the request, so that every settling path and every
// job progress is reachable: a document ends by its page count (the copies), a job's progress
// follows its number.
class ScriptedDocument final : public LabelDocument {
 public:
  PrintableArea printable_area() override { return {203, 203, 2436, 3654}; }
  std::optional<PrintFailure> begin(std::string_view) override { return std::nullopt; }
  std::optional<PrintFailure> draw_page(const LabelBitmap&, const LabelPlacement&) override {
    ++pages_;
    return std::nullopt;
  }
  PrintOutcome end() override {
    switch (pages_ % 5) {
      case 2:
        return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE, "closed");
      case 3:
        return print_failure(PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME, "maybe");
      case 4:
        return print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED, "rejected");
      default:
        return 4710u + pages_;
    }
  }

 private:
  std::uint32_t pages_ = 0;
};

class ScriptedPrintSystem final : public PrintSystem {
 public:
  std::string_view queue_uri() const override { return "scripted"; }
  Result<std::vector<QueueStatus>> queues() override {
    return std::vector<QueueStatus>{{"Label Printer", PrintQueueState::idle}};
  }
  std::string default_queue() override { return "Label Printer"; }
  JobProgress job_progress(std::string_view, std::uint32_t job_id) override {
    // Every progress, "unknown" being the last.
    return static_cast<JobProgress>(job_id %
                                    (static_cast<std::uint32_t>(JobProgress::unknown) + 1));
  }
  std::expected<std::unique_ptr<LabelDocument>, PrintFailure> open_label_document(
      std::string_view) override {
    return std::make_unique<ScriptedDocument>();
  }
  PrintFailure label_does_not_fit() const override {
    return PrintFailure{PrintReach::refused, {ErrorCode::MEDIA_MISMATCH, "does not fit"}};
  }
};

// The host as the executable composes it, over in-memory state files and the scripted print
// system.
struct FuzzHost {
  fakes::FakeStateFiles files;
  fakes::FakeWatchdogs watchdogs;
  ScriptedPrintSystem print_system;
  HostHandlers handlers{{files.store(), print_system, watchdogs}};
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

  const Status served = serve_messages(input, output, host.handlers);
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
