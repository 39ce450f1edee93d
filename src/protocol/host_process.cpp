#include "protocol/host_process.hpp"

#include <chrono>

#include "base/text.hpp"
#include "base/version.hpp"
#include "domain/state/host_log.hpp"
#include "domain/state/state_store.hpp"
#include "domain/watchdog.hpp"
#include "protocol/message_loop.hpp"

namespace vantrel {
namespace {

// The longest a firing watchdog waits for its line to reach the log.
constexpr std::chrono::milliseconds LAST_LOG_LINE_LIMIT{500};

}  // namespace

int run_host_process(const std::vector<std::string>& arguments, std::string_view platform,
                     PrintSystem& print_system) {
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
