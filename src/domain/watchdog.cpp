#include "domain/watchdog.hpp"

namespace vantrel {

std::string watchdog_timeout_line(std::string_view label) {
  std::string line = "vantrel-print-host: PLATFORM_TIMEOUT (";
  line += label;
  line += ")\n";
  return line;
}

WatchdogFiring ProcessWatchdogs::firing(const char* label) const {
  return {watchdog_timeout_line(label), label, last_words_ ? &last_words_ : nullptr};
}

}  // namespace vantrel
