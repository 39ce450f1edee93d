#include "protocol/message_loop.hpp"

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
    if (request->type == "submit" && answered.code != ErrorCode::BRIDGE_BUSY) {
      answered.code = ErrorCode::PRE_SUBMIT_UNAVAILABLE;
    }
  }
  return response;
}

}  // namespace

HostResponse handle_message(std::span<const std::uint8_t> body, Host& host) {
  const std::optional<Request> request = decode_envelope(body);
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

Status serve_messages(ByteSource& input, ByteSink& output, Host& host) {
  for (;;) {
    auto body = read_native_message(input);
    if (!body) return std::unexpected(std::move(body.error()));
    if (!body->has_value()) return {};

    const std::string encoded = encode_response(handle_message(**body, host));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(encoded.data());
    if (auto written = write_native_message(output, {bytes, encoded.size()}); !written) {
      return written;
    }
  }
}

int run_host(ByteSource& input, ByteSink& output, Host& host) {
  const Status served = serve_messages(input, output, host);
  if (served) return 0;
  write_standard_error("vantrel-print-host: " + std::string(error_code_name(served.error().code)) +
                       "\n");
  return 1;
}

}  // namespace vantrel
