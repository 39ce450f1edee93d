#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "domain/printing/spooler.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

enum class PrintQueueState { unavailable, idle, printing, offline, paused, error };

// "unavailable", "idle", "printing", "offline", "paused" or "error".
[[nodiscard]] std::string_view print_queue_state_word(PrintQueueState state) noexcept;

// A queue can take a print job right now.
[[nodiscard]] constexpr bool is_enabled(PrintQueueState state) noexcept {
  return state == PrintQueueState::idle || state == PrintQueueState::printing;
}

// Printer status bits that keep a queue from printing, and those that mean it is at work.
inline constexpr std::uint32_t PRINTER_PROBLEM_MASK = 0x00FC18FF;
inline constexpr std::uint32_t PRINTER_BUSY_MASK = 0x0001E700;

// The state a PRINTER_INFO_6 status word stands for: paused, offline, problem, busy, else idle.
[[nodiscard]] PrintQueueState print_queue_state_from_status(std::uint32_t status) noexcept;

struct PrintQueueInfo {
  std::string name;
  bool enabled = false;
  PrintQueueState state = PrintQueueState::unavailable;
  std::string uri = "winspool";
};

// Longest queue name the spooler may hand us, terminator included, in UTF-16 units.
inline constexpr std::size_t MAX_QUEUE_NAME_UNITS = 32768;

// EnumPrintersW flags: PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS.
inline constexpr std::uint32_t QUEUE_ENUM_FLAGS = 0x2 | 0x4;

// Every queue with a non-empty name and its state, sorted by the UTF-8 bytes of the name
// (stable: equal names keep the spooler's order).
[[nodiscard]] Result<std::vector<PrintQueueInfo>> list_print_queues(Spooler& spooler);

// The state of one queue; "unavailable" when it cannot be opened or its status cannot be read.
[[nodiscard]] PrintQueueState read_print_queue_state(Spooler& spooler, const std::u16string& name);

// The user's default queue, or the empty text when there is none or it cannot be read.
[[nodiscard]] std::string read_default_printer(Spooler& spooler);

// What "list_printers" answers: the sorted queues and the user's default ("" for none).
struct QueueListing {
  std::vector<PrintQueueInfo> queues;
  std::string default_printer;
};

// The whole listing runs under the "list_printers" watchdog.
[[nodiscard]] Result<QueueListing> handle_list_printers(Spooler& spooler, Watchdogs& watchdogs);

}  // namespace vantrel
