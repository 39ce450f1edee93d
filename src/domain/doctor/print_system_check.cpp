#include "domain/doctor/print_system_check.hpp"

#include <string>

namespace vantrel {
namespace {

// Queue names shown on the line; the count says how many more there are.
constexpr std::size_t QUEUE_NAMES_SHOWN = 8;

}  // namespace

DoctorCheck check_print_system(PrintSystem& system, BrowserPlatform platform) {
  DoctorCheck check{"print system", false, "", "", {}};
  const Result<std::vector<QueueStatus>> queues = system.queues();
  if (!queues) {
    check.detail = "unreachable: " + queues.error().message;
    check.advice = platform == BrowserPlatform::windows
                       ? "start the Print Spooler service (services.msc)"
                       : "start CUPS (systemctl start cups), or check CUPS_SERVER and "
                         "~/.cups/client.conf";
    return check;
  }
  if (queues->empty()) {
    check.detail = "reachable, but it has no queue";
    check.advice = platform == BrowserPlatform::windows
                       ? "add the label printer (Settings > Bluetooth & devices > Printers)"
                       : "add the label printer (lpadmin, or the CUPS web page)";
    return check;
  }
  check.ok = true;
  check.detail = "reachable, " + std::to_string(queues->size()) +
                 (queues->size() == 1 ? " queue (" : " queues (");
  for (std::size_t i = 0; i < queues->size() && i < QUEUE_NAMES_SHOWN; ++i) {
    check.detail += (i == 0 ? "" : ", ") + (*queues)[i].name;
  }
  if (queues->size() > QUEUE_NAMES_SHOWN) check.detail += ", ...";
  const std::string default_queue = system.default_queue();
  check.detail += default_queue.empty() ? "), no default queue" : "), default " + default_queue;
  return check;
}

}  // namespace vantrel
