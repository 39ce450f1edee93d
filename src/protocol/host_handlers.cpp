#include "protocol/host_handlers.hpp"

#include "domain/printing/job_observation.hpp"
#include "domain/printing/label_printing.hpp"
#include "domain/printing/queue_listing.hpp"
#include "domain/state/recovery.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/submit_flow.hpp"
#include "domain/submit/submit_request.hpp"
#include "protocol/answers.hpp"
#include "protocol/requests.hpp"

namespace vantrel {
namespace {

HostState& host_state(MessageState& state) {
  return static_cast<OpenHostState&>(state).state;
}

}  // namespace

Result<std::unique_ptr<MessageState>> HostHandlers::open_state() {
  auto opened = open_host_state(platform_.files);
  if (!opened) return std::unexpected(std::move(opened.error()));
  return std::make_unique<OpenHostState>(std::move(*opened));
}

void HostHandlers::write_bridge_status(MessageState& state) {
  vantrel::write_bridge_status(platform_.files, host_state(state).folder);
}

Result<JsonValue> HostHandlers::list_printers(MessageState&) {
  return answer_of(handle_list_printers(platform_.print_system, platform_.watchdogs),
                   queue_listing_result);
}

Result<JsonValue> HostHandlers::submit(const JsonValue& payload, MessageState& state) {
  auto request = map_submit_request(payload);
  if (!request) return std::unexpected(std::move(request.error()));
  PrintSystemLabelPrinter printer(platform_.print_system);
  SubmitServices services{platform_.watchdogs, printer, &decode_label_bitmap};
  return answer_of(handle_submit(*request, host_state(state), services), submit_result);
}

Result<JsonValue> HostHandlers::get_job(const JsonValue& payload, MessageState& state) {
  auto intent_id = read_get_job_intent_id(payload);
  if (!intent_id) return std::unexpected(std::move(intent_id.error()));
  return answer_of(
      handle_get_job(*intent_id, host_state(state), platform_.print_system, platform_.watchdogs),
      job_record_result);
}

}  // namespace vantrel
