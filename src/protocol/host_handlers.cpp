#include "protocol/host_handlers.hpp"

#include "domain/printing/job_observation.hpp"
#include "domain/printing/label_printing.hpp"
#include "domain/printing/queue_listing.hpp"
#include "domain/state/host_state.hpp"
#include "domain/state/recovery.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/submit_flow.hpp"
#include "protocol/answers.hpp"
#include "protocol/requests.hpp"

namespace vantrel {
namespace {

class HostSession final : public MessageSession {
 public:
  HostSession(HostPlatform platform, HostState state)
      : platform_(platform), state_(std::move(state)) {}

  void write_bridge_status() override { vantrel::write_bridge_status(platform_.state_store); }

  Result<JsonValue> list_printers() override {
    return answer_of(handle_list_printers(platform_.print_system, platform_.watchdogs),
                     queue_listing_result);
  }

  Result<JsonValue> submit(const JsonValue& payload) override {
    auto request = map_submit_request(payload);
    if (!request) return std::unexpected(std::move(request.error()));
    PrintSystemLabelPrinter printer(platform_.print_system);
    SubmitServices services{platform_.watchdogs, printer, &decode_label_bitmap};
    return answer_of(handle_submit(*request, state_, services), submit_result);
  }

  Result<JsonValue> get_job(const JsonValue& payload) override {
    auto intent_id = read_get_job_intent_id(payload);
    if (!intent_id) return std::unexpected(std::move(intent_id.error()));
    return answer_of(
        handle_get_job(*intent_id, state_, platform_.print_system, platform_.watchdogs),
        job_record_result);
  }

 private:
  HostPlatform platform_;
  HostState state_;
};

}  // namespace

Result<std::unique_ptr<MessageSession>> HostHandlers::open_session() {
  auto opened = open_host_state(platform_.state_store);
  if (!opened) return std::unexpected(std::move(opened.error()));
  return std::make_unique<HostSession>(platform_, std::move(*opened));
}

}  // namespace vantrel
