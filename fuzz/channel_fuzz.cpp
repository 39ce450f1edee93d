// Arbitrary bytes as standard input of the message loop: framing, envelope decoding, routing,
// and "submit" through the real flow over in-memory state files, printer and watchdogs, for as
// many messages as the input holds. Every answer must be a framed JSON envelope, and every
// message must release the lock and disarm its watchdog.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "domain/state/host_state.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/submit_flow.hpp"
#include "fake_state_files.hpp"
#include "fake_streams.hpp"
#include "fake_watchdogs.hpp"
#include "fuzz_check.hpp"
#include "protocol/answers.hpp"
#include "protocol/message_loop.hpp"
#include "protocol/requests.hpp"

using namespace vantrel;

namespace {

// The rendering outcome follows the copies, so that every settling path is reachable.
class ScriptedPrinter final : public LabelPrinter {
 public:
  PrintOutcome print_label(std::string_view, std::string_view, const LabelBitmap&, std::uint32_t,
                           std::uint16_t copies) override {
    switch (copies % 5) {
      case 2:
        return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE, "closed");
      case 3:
        return print_failure(PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME, "maybe");
      case 4:
        return print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED, "rejected");
      default:
        return 4710u + copies;
    }
  }
};

class FuzzState final : public MessageState {
 public:
  explicit FuzzState(HostState state) : state(std::move(state)) {}
  HostState state;
};

class FuzzHandlers final : public MessageHandlers {
 public:
  Result<std::unique_ptr<MessageState>> open_state() override {
    Result<HostState> opened = open_host_state(files);
    if (!opened) return std::unexpected(std::move(opened.error()));
    return std::make_unique<FuzzState>(std::move(*opened));
  }
  void write_bridge_status(MessageState& state) override {
    vantrel::write_bridge_status(files, static_cast<FuzzState&>(state).state.folder);
  }
  Result<JsonValue> list_printers(MessageState&) override {
    return JsonValue{{"default_printer", nullptr}, {"printers", JsonValue::array()}};
  }
  Result<JsonValue> submit(const JsonValue& payload, MessageState& state) override {
    Result<SubmitRequest> request = map_submit_request(payload);
    if (!request) return std::unexpected(std::move(request.error()));
    SubmitServices services{watchdogs, printer, &decode_label_bitmap};
    return answer_of(handle_submit(*request, static_cast<FuzzState&>(state).state, services),
                     submit_result);
  }

  testing::FakeStateFiles files;
  testing_support::FakeWatchdogs watchdogs;
  ScriptedPrinter printer;
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
  testing::MemorySource input(std::string(reinterpret_cast<const char*>(data), size), 1 + size % 7);
  testing::MemorySink output;
  FuzzHandlers handlers;

  const Status served = serve_messages(input, output, handlers);
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
  FUZZ_CHECK(!handlers.files.lock_held());
  FUZZ_CHECK(handlers.files.open_handle_count() == 0);
  FUZZ_CHECK(handlers.watchdogs.armed_now == 0);
  return 0;
}
