#include "protocol/routes.hpp"

#include <array>

#include "domain/messages/get_job.hpp"
#include "domain/messages/get_printer.hpp"
#include "domain/messages/list_printers.hpp"
#include "domain/messages/submit.hpp"
#include "protocol/answers.hpp"
#include "protocol/requests.hpp"

namespace vantrel {
namespace {

Result<JsonValue> hello(const JsonValue&, Host& host, HostState&, MessageLogFields&) {
  return hello_result(host.platform);
}

Result<JsonValue> list_printers(const JsonValue&, Host& host, HostState&, MessageLogFields&) {
  return answer_of(handle_list_printers(host.printing, host.watchdogs), queue_listing_result);
}

Result<JsonValue> get_printer(const JsonValue& payload, Host& host, HostState&, MessageLogFields&) {
  auto printer = read_get_printer_name(payload);
  if (!printer) return std::unexpected(std::move(printer.error()));
  return answer_of(handle_get_printer(*printer, host.printing, host.watchdogs),
                   printer_answer_result);
}

// A submit's line names its intent and queue and, once the ledger holds the intent, the
// attempt's state and job as recorded: also when the answer cannot be written, and also for an
// answer taken from the ledger (duplicate=true).
Result<JsonValue> submit(const JsonValue& payload, Host& host, HostState& state,
                         MessageLogFields& log) {
  auto request = map_submit_request(payload);
  if (!request) return std::unexpected(std::move(request.error()));
  log.add("intent_id", request->intent_id);
  log.add("queue", request->printer);
  SubmitServices services{host.printing, host.watchdogs};
  Result<SubmitAnswer> answer = handle_submit(*request, state, services);
  if (answer && answer->duplicate) log.add("duplicate", "true");
  if (const auto stored = state.ledger.jobs.find(request->intent_id);
      stored != state.ledger.jobs.end()) {
    log.add("state", std::string(stored_state(stored->second)));
    log.add("job", stored->second.os_job_id);
  }
  return answer_of(std::move(answer), submit_result);
}

Result<JsonValue> get_job(const JsonValue& payload, Host& host, HostState& state,
                          MessageLogFields&) {
  auto intent_id = read_get_job_intent_id(payload);
  if (!intent_id) return std::unexpected(std::move(intent_id.error()));
  return answer_of(handle_get_job(*intent_id, state, host.printing, host.watchdogs),
                   job_record_result);
}

constexpr std::array<Route, 5> ROUTES{{
    {"hello", &hello},
    {"list_printers", &list_printers},
    {"get_printer", &get_printer},
    {"submit", &submit, true},
    {"get_job", &get_job},
}};

}  // namespace

const Route* find_route(std::string_view type) noexcept {
  for (const Route& route : ROUTES) {
    if (route.type == type) return &route;
  }
  return nullptr;
}

}  // namespace vantrel
