#pragma once

#include <string>
#include <vector>

#include "base/error.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

// A queue can take a print job right now.
[[nodiscard]] constexpr bool is_enabled(PrintQueueState state) noexcept {
  return state == PrintQueueState::idle || state == PrintQueueState::printing;
}

struct PrintQueueInfo {
  std::string name;
  bool enabled = false;
  PrintQueueState state = PrintQueueState::unavailable;
  std::string uri;
};

// What "list_printers" answers: the queues sorted by the UTF-8 bytes of their names (stable:
// equal names keep the system's order), and the user's default ("" for none).
struct QueueListing {
  std::vector<PrintQueueInfo> queues;
  std::string default_printer;
};

inline constexpr const char* LIST_PRINTERS_WATCHDOG_LABEL = "list_printers";

// The whole listing runs under the "list_printers" watchdog.
[[nodiscard]] Result<QueueListing> handle_list_printers(PrintSystem& system, Watchdogs& watchdogs);

}  // namespace vantrel
