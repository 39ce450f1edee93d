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

Result<JsonValue> hello(const JsonValue&, Host&, HostState&) {
  return hello_result();
}

Result<JsonValue> list_printers(const JsonValue&, Host& host, HostState&) {
  return answer_of(handle_list_printers(host.printing, host.watchdogs), queue_listing_result);
}

Result<JsonValue> get_printer(const JsonValue& payload, Host& host, HostState&) {
  auto printer = read_get_printer_name(payload);
  if (!printer) return std::unexpected(std::move(printer.error()));
  return answer_of(handle_get_printer(*printer, host.printing, host.watchdogs),
                   printer_answer_result);
}

Result<JsonValue> submit(const JsonValue& payload, Host& host, HostState& state) {
  auto request = map_submit_request(payload);
  if (!request) return std::unexpected(std::move(request.error()));
  SubmitServices services{host.printing, host.watchdogs};
  return answer_of(handle_submit(*request, state, services), submit_result);
}

// A batch releases the message's lock between its chunks and takes it again for the next.
Result<JsonValue> submit_batch(const JsonValue& payload, Host& host, HostState& state) {
  auto request = map_submit_batch_request(payload);
  if (!request) return std::unexpected(std::move(request.error()));
  SubmitServices services{host.printing, host.watchdogs};
  return answer_of(handle_submit_batch(*request, state, services), submit_batch_result);
}

Result<JsonValue> get_job(const JsonValue& payload, Host& host, HostState& state) {
  auto intent_id = read_get_job_intent_id(payload);
  if (!intent_id) return std::unexpected(std::move(intent_id.error()));
  return answer_of(handle_get_job(*intent_id, state, host.printing, host.watchdogs),
                   job_record_result);
}

constexpr std::array<Route, 6> ROUTES{{
    {"hello", &hello},
    {"list_printers", &list_printers},
    {"get_printer", &get_printer},
    {"submit", &submit},
    {"get_job", &get_job},
    {"submit_batch", &submit_batch},
}};

}  // namespace

const Route* find_route(std::string_view type) noexcept {
  for (const Route& route : ROUTES) {
    if (route.type == type) return &route;
  }
  return nullptr;
}

}  // namespace vantrel
