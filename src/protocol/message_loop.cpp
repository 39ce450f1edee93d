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

// One message handled: its answer and the fields its route gave the log line.
struct Handled {
  HostResponse response;
  MessageLogFields log;
};

// The state could not be opened: its error is the answer, with the request_id of the body if
// it decoded (no protocol or identifier checks, no bridge status).
HostResponse state_failure_response(const std::optional<Request>& request, HostError error) {
  HostResponse response{"", std::unexpected(std::move(error))};
  if (request) {
    response.request_id = request->request_id;
    HostError& answered = response.outcome.error();
    // A message that may print must say that it never reached the print system, unless another
    // host simply holds the lock and the extension should ask again.
    const Route* route = find_route(request->type);
    if (route != nullptr && route->prints && answered.code != ErrorCode::BRIDGE_BUSY) {
      answered.code = ErrorCode::PRE_SUBMIT_UNAVAILABLE;
    }
  }
  return response;
}

// The log's line for one message: names and outcome, never content; `answer` says when the
// answer could not be written.
void log_message(HostLog& log, const std::optional<Request>& request, const Handled& handled,
                 std::chrono::steady_clock::duration took, std::string_view answer) {
  const HostResponse& response = handled.response;
  const std::string outcome =
      response.outcome ? "ok" : std::string(error_code_name(response.outcome.error().code));
  const std::string duration =
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
  std::vector<LogField> fields{{"type", request ? std::string_view(request->type) : "-"},
                               {"request_id", response.request_id},
                               {"outcome", outcome},
                               {"duration_ms", duration}};
  for (const auto& [key, value] : handled.log.fields) fields.emplace_back(key, value);
  if (!answer.empty()) fields.emplace_back("answer", answer);
  log.append("message", fields);
  for (const auto& line : handled.log.lines) {
    std::vector<LogField> label_fields{{"request_id", response.request_id}};
    for (const auto& [key, value] : line) label_fields.emplace_back(key, value);
    log.append("label", label_fields);
  }
}

Handled handle_decoded(const std::optional<Request>& request, Host& host) {
  Handled handled;
  HostResponse& response = handled.response;
  Result<HostState> state = open_host_state(host.state);
  if (!state) {
    response = state_failure_response(request, std::move(state.error()));
    return handled;
  }
  if (!request) {
    response.outcome = fail(ErrorCode::BAD_REQUEST, std::string(INVALID_ENVELOPE_MESSAGE));
    return handled;
  }
  response.request_id = request->request_id;
  if (auto checked = check_protocol(*request); !checked) {
    response.outcome = std::unexpected(std::move(checked.error()));
    return handled;
  }
  write_bridge_status(host.state);
  if (auto checked = check_request_id(*request); !checked) {
    response.outcome = std::unexpected(std::move(checked.error()));
    return handled;
  }
  const Route* route = find_route(request->type);
  response.outcome =
      route ? route->handle(request->payload, host, *state, handled.log) : unknown_message();
  return handled;  // the state (and its lock) is released here, before the answer is written
}

}  // namespace

HostResponse handle_message(std::span<const std::uint8_t> body, Host& host) {
  return handle_decoded(decode_envelope(body), host).response;
}

Status serve_messages(ByteSource& input, ByteSink& output, Host& host) {
  for (;;) {
    auto body = read_native_message(input);
    if (!body) return std::unexpected(std::move(body.error()));
    if (!body->has_value()) return {};

    const auto started = std::chrono::steady_clock::now();
    const std::optional<Request> request = decode_envelope(**body);
    const Handled handled = handle_decoded(request, host);
    const std::string encoded = encode_response(handled.response);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(encoded.data());
    const Status written = write_native_message(output, {bytes, encoded.size()});
    // Logged once the answer is on its way, so that the log never holds up or changes an
    // answer; and also when it cannot be written, since the message may have printed.
    if (host.log != nullptr) {
      log_message(*host.log, request, handled, std::chrono::steady_clock::now() - started,
                  written ? "" : "unwritten");
    }
    if (!written) return written;
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
