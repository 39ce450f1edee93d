// Process entry of the native-messaging host. The browser passes arguments (its extension's
// origin, a parent window); the host has no options and ignores them.
#include "protocol/host_handlers.hpp"
#include "protocol/standard_streams.hpp"

int main() {
  vantrel::StandardStreams streams = vantrel::take_standard_streams();
  vantrel::ProcessWatchdogs watchdogs;
  vantrel::HostHandlers handlers({vantrel::windows_state_files(), vantrel::windows_spooler(),
                                  vantrel::windows_print_devices(), watchdogs});
  const int status = vantrel::run_host(*streams.input, *streams.output, handlers);
  vantrel::let_disarmed_watchdogs_finish();
  return status;
}
