#include "protocol/routes.hpp"

#include <array>

#include "domain/messages/get_job.hpp"
#include "domain/messages/get_printer.hpp"
#include "domain/messages/list_printers.hpp"
#include "domain/messages/submit.hpp"
#include "domain/messages/submit_batch.hpp"
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

// What a print attempt's log line says of it once answered: duplicate=true for an answer from the
// ledger, and the attempt's state and job as recorded, when the ledger holds the intent.
void add_attempt_fields(MessageLogFields::Fields& fields, const HostState& state,
                        const std::string& intent_id, const Result<SubmitAnswer>& answer) {
  if (answer && answer->duplicate) fields.emplace_back("duplicate", "true");
  if (const auto stored = state.ledger.jobs.find(intent_id); stored != state.ledger.jobs.end()) {
    fields.emplace_back("state", std::string(stored_state(stored->second)));
    fields.emplace_back("job", stored->second.os_job_id);
  }
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
  add_attempt_fields(log.fields, state, request->intent_id, answer);
  return answer_of(std::move(answer), submit_result);
}

// A batch releases the message's lock between its chunks and takes it again for the next. Its
// line names the queue and the count, and each label whose intent the ledger holds gets a line of
// its own with its state and job, as a submit's does.
Result<JsonValue> submit_batch(const JsonValue& payload, Host& host, HostState& state,
                               MessageLogFields& log) {
  auto request = map_submit_batch_request(payload);
  if (!request) return std::unexpected(std::move(request.error()));
  log.add("queue", request->printer);
  log.add("labels", std::to_string(request->labels.size()));
  SubmitServices services{host.printing, host.watchdogs};
  auto answers = handle_submit_batch(*request, state, services);
  if (answers) {
    for (std::size_t i = 0; i < answers->size(); ++i) {
      const std::string& intent_id = request->labels[i].intent_id;
      if (!state.ledger.jobs.contains(intent_id)) continue;
      auto& line = log.lines.emplace_back();
      line.emplace_back("intent_id", intent_id);
      add_attempt_fields(line, state, intent_id, (*answers)[i]);
    }
  }
  return answer_of(std::move(answers), submit_batch_result);
}

Result<JsonValue> get_job(const JsonValue& payload, Host& host, HostState& state,
                          MessageLogFields&) {
  auto intent_id = read_get_job_intent_id(payload);
  if (!intent_id) return std::unexpected(std::move(intent_id.error()));
  return answer_of(handle_get_job(*intent_id, state, host.printing, host.watchdogs),
                   job_record_result);
}

constexpr std::array<Route, 6> ROUTES{{
    {"hello", &hello},
    {"list_printers", &list_printers},
    {"get_printer", &get_printer},
    {"submit", &submit, true},
    {"get_job", &get_job},
    {"submit_batch", &submit_batch, true},
}};

}  // namespace

const Route* find_route(std::string_view type) noexcept {
  for (const Route& route : ROUTES) {
    if (route.type == type) return &route;
  }
  return nullptr;
}

}  // namespace vantrel
