#include "domain/watchdog.hpp"

namespace vantrel {

std::string watchdog_timeout_line(std::string_view label) {
  std::string line = "vantrel-print-host: PLATFORM_TIMEOUT (";
  line += label;
  line += ")\n";
  return line;
}

Result<WatchdogSignal> arm_watchdog(const char* label) {
  return arm_watchdog(label,
                      std::chrono::duration_cast<std::chrono::milliseconds>(PLATFORM_CALL_TIMEOUT));
}

}  // namespace vantrel
