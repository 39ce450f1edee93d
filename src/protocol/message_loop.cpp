#include "protocol/message_loop.hpp"

#include "protocol/answers.hpp"
#include "protocol/standard_streams.hpp"

namespace vantrel {
namespace {

Result<JsonValue> unknown_message() {
  return fail(ErrorCode::UNKNOWN_MESSAGE, std::string(UNKNOWN_MESSAGE_TEXT));
}

// The state could not be opened: answer with its error, learning request_id and type from a
// decode of the body (no protocol or identifier checks, no bridge status).
HostResponse early_failure_response(std::span<const std::uint8_t> body, HostError error) {
  HostResponse response{"", std::unexpected(std::move(error))};
  if (auto request = decode_envelope(body)) {
    response.request_id = std::move(request->request_id);
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

Result<JsonValue> dispatch_request(const Request& request, MessageSession& session) {
  if (request.type == "hello") return hello_result();
  if (request.type == "list_printers") return session.list_printers();
  if (request.type == "submit") return session.submit(request.payload);
  if (request.type == "get_job") return session.get_job(request.payload);
  return unknown_message();
}

HostResponse handle_message(std::span<const std::uint8_t> body, MessageHandlers& handlers) {
  auto session = handlers.open_session();
  if (!session) return early_failure_response(body, std::move(session.error()));

  auto request = decode_envelope(body);
  if (!request) {
    return HostResponse{"", fail(ErrorCode::BAD_REQUEST, std::string(INVALID_ENVELOPE_MESSAGE))};
  }
  HostResponse response{request->request_id, JsonValue()};
  if (auto checked = check_protocol(*request); !checked) {
    response.outcome = std::unexpected(std::move(checked.error()));
    return response;
  }
  (*session)->write_bridge_status();
  if (auto checked = check_request_id(*request); !checked) {
    response.outcome = std::unexpected(std::move(checked.error()));
    return response;
  }
  response.outcome = dispatch_request(*request, **session);
  return response;  // the session (and its lock) is released here, before the answer is written
}

Status serve_messages(ByteSource& input, ByteSink& output, MessageHandlers& handlers) {
  for (;;) {
    auto body = read_native_message(input);
    if (!body) return std::unexpected(std::move(body.error()));
    if (!body->has_value()) return {};

    const std::string encoded = encode_response(handle_message(**body, handlers));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(encoded.data());
    if (auto written = write_native_message(output, {bytes, encoded.size()}); !written) {
      return written;
    }
  }
}

int run_host(ByteSource& input, ByteSink& output, MessageHandlers& handlers) {
  const Status served = serve_messages(input, output, handlers);
  if (served) return 0;
  write_standard_error("vantrel-print-host: " + std::string(error_code_name(served.error().code)) +
                       "\n");
  return 1;
}

}  // namespace vantrel
