#pragma once

#include <span>

#include "protocol/channel.hpp"
#include "protocol/envelope.hpp"
#include "protocol/routes.hpp"

namespace vantrel {

// Handles one complete message body: the envelope decoded once; the state opened (every message
// first takes the lock and loads and recovers the ledger); the protocol checked, the contact
// recorded, the request_id checked; the type routed. The state, and with it the lock, is
// released before the answer is returned.
[[nodiscard]] HostResponse handle_message(std::span<const std::uint8_t> body, Host& host);

// Serves messages until input ends (success) or the channel fails (IO_ERROR).
[[nodiscard]] Status serve_messages(ByteSource& input, ByteSink& output, Host& host);

// The process's run: serve_messages over the given streams, the exit status, and the
// standard-error line for IO_ERROR.
[[nodiscard]] int run_host(ByteSource& input, ByteSink& output, Host& host);

}  // namespace vantrel
