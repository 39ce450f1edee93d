#pragma once

#include <memory>

#include "protocol/channel.hpp"
#include "protocol/envelope.hpp"

namespace vantrel {

// One message's open state and what it can be asked, routed to by the loop. Destroying it
// releases the state (the ledger lock among it), which the loop does before writing the answer.
class MessageSession {
 public:
  virtual ~MessageSession() = default;

  // Records contact with the extension; failures are the implementation's to swallow.
  virtual void write_bridge_status() = 0;
  [[nodiscard]] virtual Result<JsonValue> list_printers() = 0;
  [[nodiscard]] virtual Result<JsonValue> submit(const JsonValue& payload) = 0;
  [[nodiscard]] virtual Result<JsonValue> get_job(const JsonValue& payload) = 0;
};

class MessageHandlers {
 public:
  virtual ~MessageHandlers() = default;

  // Locates the state folder, takes the lock, loads and recovers the ledger.
  [[nodiscard]] virtual Result<std::unique_ptr<MessageSession>> open_session() = 0;
};

// The routing table: "type" compared byte for byte.
[[nodiscard]] Result<JsonValue> dispatch_request(const Request& request, MessageSession& session);

// Handles one complete message body: the answer envelope for it.
[[nodiscard]] HostResponse handle_message(std::span<const std::uint8_t> body,
                                          MessageHandlers& handlers);

// Serves messages until input ends (success) or the channel fails (IO_ERROR).
[[nodiscard]] Status serve_messages(ByteSource& input, ByteSink& output, MessageHandlers& handlers);

// The process's run: serve_messages over the given streams, the exit status, and the
// standard-error line for IO_ERROR.
[[nodiscard]] int run_host(ByteSource& input, ByteSink& output, MessageHandlers& handlers);

}  // namespace vantrel
