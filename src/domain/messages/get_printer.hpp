#pragma once

#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

inline constexpr const char* GET_PRINTER_WATCHDOG_LABEL = "get_printer";

// The most media an answer lists: far below the browser's 1 MiB answer limit on any queue.
inline constexpr std::size_t MAX_LISTED_MEDIA = 256;

// What "get_printer" answers: the queue's details, whether it can take a job now, the "uri"
// every listed queue carries, and whether media were left out.
struct PrinterAnswer {
  PrinterDetails details;
  bool enabled = false;
  std::string uri;
  bool media_truncated = false;
};

// The first `limit` media in the system's order, with the default and the loaded ones always
// kept (in their places); true when any were left out.
bool limit_media(PrinterDetails& details, std::size_t limit);

// The queue's details, asked under the "get_printer" watchdog.
[[nodiscard]] Result<PrinterAnswer> handle_get_printer(std::string_view printer,
                                                       PrintSystem& system, Watchdogs& watchdogs);

}  // namespace vantrel
