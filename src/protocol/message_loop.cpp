#include "protocol/message_loop.hpp"

#include <chrono>
#include <string>
#include <vector>

#include "domain/state/recovery.hpp"
#include "protocol/answers.hpp"
#include "protocol/standard_streams.hpp"

namespace vantrel {
namespace {

Result<JsonValue> unknown_message() {
  return fail(ErrorCode::UNKNOWN_MESSAGE, std::string(UNKNOWN_MESSAGE_TEXT));
}

// The state could not be opened: its error is the answer, with the request_id of the body if
// it decoded (no protocol or identifier checks, no bridge status).
HostResponse state_failure_response(const std::optional<Request>& request, HostError error) {
  HostResponse response{"", std::unexpected(std::move(error))};
  if (request) {
    response.request_id = request->request_id;
    HostError& answered = response.outcome.error();
    // A submit that never reached the print system must say so, unless another host simply
    // holds the lock and the extension should ask again.
    const bool submits = request->type == "submit" || request->type == "submit_batch";
    if (submits && answered.code != ErrorCode::BRIDGE_BUSY) {
      answered.code = ErrorCode::PRE_SUBMIT_UNAVAILABLE;
    }
  }
  return response;
}

// A text member of an object value, or "".
std::string_view text_member(const JsonValue& object, const char* key) {
  if (!object.is_object()) return {};
  const auto member = object.find(key);
  if (member == object.end() || !member->is_string()) return {};
  return member->get_ref<const std::string&>();
}

// The log's line for one message: names and outcome, never content.
void log_message(HostLog& log, const std::optional<Request>& request, const HostResponse& response,
                 std::chrono::steady_clock::duration took) {
  const std::string outcome =
      response.outcome ? "ok" : std::string(error_code_name(response.outcome.error().code));
  const std::string duration =
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
  std::vector<LogField> fields{{"type", request ? std::string_view(request->type) : "-"},
                               {"request_id", response.request_id},
                               {"outcome", outcome},
                               {"duration_ms", duration}};
  if (request && request->type == "submit") {
    fields.emplace_back("intent_id", text_member(request->payload, "intent_id"));
    fields.emplace_back("queue", text_member(request->payload, "printer"));
    if (response.outcome) fields.emplace_back("job", text_member(*response.outcome, "os_job_id"));
  }
  log.append("message", fields);
}

HostResponse handle_decoded(const std::optional<Request>& request, Host& host) {
  Result<HostState> state = open_host_state(host.state);
  if (!state) return state_failure_response(request, std::move(state.error()));
  if (!request) {
    return HostResponse{"", fail(ErrorCode::BAD_REQUEST, std::string(INVALID_ENVELOPE_MESSAGE))};
  }
  HostResponse response{request->request_id, JsonValue()};
  if (auto checked = check_protocol(*request); !checked) {
    response.outcome = std::unexpected(std::move(checked.error()));
    return response;
  }
  write_bridge_status(host.state);
  if (auto checked = check_request_id(*request); !checked) {
    response.outcome = std::unexpected(std::move(checked.error()));
    return response;
  }
  const Route* route = find_route(request->type);
  response.outcome = route ? route->handle(request->payload, host, *state) : unknown_message();
  return response;  // the state (and its lock) is released here, before the answer is written
}

}  // namespace

HostResponse handle_message(std::span<const std::uint8_t> body, Host& host) {
  return handle_decoded(decode_envelope(body), host);
}

Status serve_messages(ByteSource& input, ByteSink& output, Host& host) {
  for (;;) {
    auto body = read_native_message(input);
    if (!body) return std::unexpected(std::move(body.error()));
    if (!body->has_value()) return {};

    const auto started = std::chrono::steady_clock::now();
    const std::optional<Request> request = decode_envelope(**body);
    const HostResponse response = handle_decoded(request, host);
    const std::string encoded = encode_response(response);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(encoded.data());
    if (auto written = write_native_message(output, {bytes, encoded.size()}); !written) {
      return written;
    }
    // Logged once the answer is on its way: the log never holds up or changes an answer.
    if (host.log != nullptr) {
      log_message(*host.log, request, response, std::chrono::steady_clock::now() - started);
    }
  }
}

int run_host(ByteSource& input, ByteSink& output, Host& host) {
  const Status served = serve_messages(input, output, host);
  if (served) return 0;
  write_standard_error("vantrel-print-host: " + std::string(error_code_name(served.error().code)) +
                       "\n");
  if (host.log != nullptr) {
    host.log->append("end", {{"status", "1"},
                             {"code", error_code_name(served.error().code)},
                             {"reason", served.error().message}});
  }
  return 1;
}

}  // namespace vantrel
