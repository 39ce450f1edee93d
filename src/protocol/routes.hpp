#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
  // The platform's name in hello's answer, given once by the process's entry.
  std::string_view platform = "";
};

// What one message adds to its log line, from its typed request and result: names, never
// content. Keys are literals.
struct MessageLogFields {
  using Fields = std::vector<std::pair<std::string_view, std::string>>;
  Fields fields;
  // Lines of their own after the message's, one for each label of a message that prints many.
  std::vector<Fields> lines;

  void add(std::string_view key, std::string value) { fields.emplace_back(key, std::move(value)); }
};

// One message type's handler: its payload (null when absent) mapped to the domain's request,
// the use case run on this message's state, the domain's result mapped to the answer, and the
// type's own fields for the log line.
using MessageHandler = Result<JsonValue> (*)(const JsonValue& payload, Host& host, HostState& state,
                                             MessageLogFields& log);

// A message type's row: its handler and the rules that differ by type.
struct Route {
  std::string_view type;
  MessageHandler handle;
  // A message that may print answers a state that cannot be opened with PRE_SUBMIT_UNAVAILABLE
  // (nothing reached the print system), unless another host only holds the lock (BRIDGE_BUSY).
  bool prints = false;
};

// The routing table's row for a "type", compared byte for byte; nullptr for none.
[[nodiscard]] const Route* find_route(std::string_view type) noexcept;

}  // namespace vantrel
