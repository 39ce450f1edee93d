#pragma once

#include <string_view>

#include "base/error.hpp"
#include "base/json.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/state/host_log.hpp"
#include "domain/state/host_state.hpp"
#include "domain/state/state_store.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

// The seams one host process works through: the real ones in the executables, fakes in tests.
struct Host {
  StateStore& state;
  PrintSystem& printing;
  Watchdogs& watchdogs;
  HostLog* log = nullptr;  // none in tests that do not look at it
};

// One message type's handler: its payload (null when absent) mapped to the domain's request,
// the use case run on this message's state, and the domain's result mapped to the answer.
using MessageHandler = Result<JsonValue> (*)(const JsonValue& payload, Host& host,
                                             HostState& state);

struct Route {
  std::string_view type;
  MessageHandler handle;
};

// The routing table's row for a "type", compared byte for byte; nullptr for none.
[[nodiscard]] const Route* find_route(std::string_view type) noexcept;

}  // namespace vantrel
