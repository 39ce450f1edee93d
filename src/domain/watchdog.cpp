#include "domain/watchdog.hpp"

namespace vantrel {

std::string watchdog_timeout_line(std::string_view label) {
  std::string line = "vantrel-print-host: PLATFORM_TIMEOUT (";
  line += label;
  line += ")\n";
  return line;
}

}  // namespace vantrel
