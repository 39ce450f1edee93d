#include "doctor/print_system_check.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {
namespace {

// Queue names shown on the line; the count says how many more there are.
constexpr std::size_t QUEUE_NAMES_SHOWN = 8;

// The value of the first "ServerName" line of a client.conf.
std::optional<std::string> server_name(DoctorSystem& system, const std::string& path) {
  FileResult<std::string> text = system.read_file(path);
  if (!text) return std::nullopt;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string_view line(text->data() + start, end - start);
    start = end + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (!line.starts_with("ServerName")) continue;
    line.remove_prefix(std::string_view("ServerName").size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
      line.remove_suffix(1);
    if (!line.empty()) return std::string(line);
  }
  return std::nullopt;
}

}  // namespace

std::string cups_scheduler_source(DoctorSystem& system) {
  if (auto server = system.environment("CUPS_SERVER"); server && !server->empty()) {
    return "scheduler " + *server + " from CUPS_SERVER";
  }
  if (auto home = system.environment("HOME"); home && home->starts_with('/')) {
    const std::string user_conf = *home + "/.cups/client.conf";
    if (auto server = server_name(system, user_conf)) {
      return "scheduler " + *server + " from ServerName in " + user_conf;
    }
  }
  if (auto server = server_name(system, "/etc/cups/client.conf")) {
    return "scheduler " + *server + " from ServerName in /etc/cups/client.conf";
  }
  return "the local scheduler; no CUPS_SERVER, no ServerName in ~/.cups/client.conf or "
         "/etc/cups/client.conf";
}

DoctorCheck check_print_system(PrintSystem& printing, DoctorSystem& system) {
  const BrowserPlatform platform = system.platform();
  DoctorCheck check{"print system", false, "", "", {}};
  const std::string source =
      platform == BrowserPlatform::linux ? " (" + cups_scheduler_source(system) + ")" : "";
  const Result<std::vector<QueueStatus>> queues = printing.queues();
  if (!queues) {
    check.detail = "unreachable" + source + ": " + queues.error().message;
    check.advice = platform == BrowserPlatform::windows
                       ? "start the Print Spooler service (services.msc)"
                       : "start CUPS (systemctl start cups), or check CUPS_SERVER (the host "
                         "has the browser's environment) and ~/.cups/client.conf";
    return check;
  }
  if (queues->empty()) {
    check.detail = "reachable" + source + ", but it has no queue";
    check.advice = platform == BrowserPlatform::windows
                       ? "add the label printer (Settings > Bluetooth & devices > Printers)"
                       : "add the label printer (lpadmin, or the CUPS web page)";
    return check;
  }
  check.ok = true;
  check.detail = "reachable" + source + ", " + std::to_string(queues->size()) +
                 (queues->size() == 1 ? " queue (" : " queues (");
  for (std::size_t i = 0; i < queues->size() && i < QUEUE_NAMES_SHOWN; ++i) {
    check.detail += (i == 0 ? "" : ", ") + (*queues)[i].name;
  }
  if (queues->size() > QUEUE_NAMES_SHOWN) check.detail += ", ...";
  const std::string default_queue = printing.default_queue();
  check.detail += default_queue.empty() ? "), no default queue" : "), default " + default_queue;
  return check;
}

}  // namespace vantrel
