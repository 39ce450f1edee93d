#include "protocol/host_process.hpp"

#include <chrono>
#include <cstdlib>

#include "base/text.hpp"
#include "base/version.hpp"
#include "domain/doctor/doctor.hpp"
#include "domain/state/host_log.hpp"
#include "domain/state/state_store.hpp"
#include "domain/watchdog.hpp"
#include "protocol/message_loop.hpp"

namespace vantrel {
namespace {

// The longest a firing watchdog waits for its line to reach the log.
constexpr std::chrono::milliseconds LAST_LOG_LINE_LIMIT{500};

constexpr std::string_view DOCTOR_OPTION = "--doctor";
constexpr int USAGE_EXIT_STATUS = 2;

// "--doctor [--json] [--extension <origin or Firefox id>]...": the report on standard output,
// 0 when every check passed.
int run_doctor_process(const std::vector<std::string>& arguments, PrintSystem& print_system) {
  bool json = false;
  std::vector<std::string> extensions;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--json" && !json) {
      json = true;
    } else if (arguments[i] == "--extension" && i + 1 < arguments.size()) {
      extensions.push_back(arguments[++i]);
    } else {
      write_standard_error(
          "usage: vantrel-print-host --doctor [--json] [--extension <chrome-extension://id/ or "
          "Firefox id>]...\n");
      return USAGE_EXIT_STATUS;
    }
  }
  const DoctorRun run = run_doctor(DoctorServices{system_doctor_system(), system_state_files(),
                                                  print_system, HOST_VERSION, extensions});
  const std::string text = json ? doctor_json(run.report) : doctor_text(run.report);
  StandardStreams streams = take_standard_streams();
  (void)write_all(*streams.output,
                  {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  (void)streams.output->flush();
  const int status = doctor_exit_status(run.report);
  // A check still hangs on a thread of its own, inside the print system or the files: ending
  // now spares it the destruction of what it uses.
  if (run.left_running) std::_Exit(status);
  return status;
}

}  // namespace

int run_host_process(const std::vector<std::string>& arguments, std::string_view platform,
                     PrintSystem& print_system) {
  // Browsers pass an origin or a manifest's path first, never this option.
  if (!arguments.empty() && arguments.front() == DOCTOR_OPTION) {
    return run_doctor_process(arguments, print_system);
  }
  StandardStreams streams = take_standard_streams();
  StateFiles& files = system_state_files();
  HostLog log(files);
  log.append(
      "start",
      {{"version", HOST_VERSION}, {"platform", platform}, {"caller", joined(arguments, " ")}});
  ProcessWatchdogs watchdogs(
      std::chrono::duration_cast<std::chrono::milliseconds>(PLATFORM_CALL_TIMEOUT),
      [&log](const char* label) {
        try {
          log.append_within(LAST_LOG_LINE_LIMIT, "end",
                            {{"status", "70"}, {"code", "PLATFORM_TIMEOUT"}, {"stretch", label}});
        } catch (...) {
          // No memory for the line: the process ends without it.
        }
      });
  StateStore state_store(files);
  Host host{state_store, print_system, watchdogs, &log, platform};
  // The watchdogs outlive the loop: their destructor lets the disarmed threads finish.
  return run_host(*streams.input, *streams.output, host);
}

}  // namespace vantrel
