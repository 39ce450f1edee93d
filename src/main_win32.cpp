// Process entry of the native-messaging host. The browser passes arguments (its extension's
// origin, a parent window); the host has no options and ignores them.
#include "domain/printing/windows/windows_print_system.hpp"
#include "domain/state/state_store.hpp"
#include "protocol/message_loop.hpp"
#include "protocol/standard_streams.hpp"

int main() {
  vantrel::StandardStreams streams = vantrel::take_standard_streams();
  vantrel::ProcessWatchdogs watchdogs;
  vantrel::WindowsPrintSystem print_system(vantrel::windows_spooler(),
                                           vantrel::windows_print_devices());
  vantrel::StateStore state_store(vantrel::system_state_files());
  vantrel::Host host{state_store, print_system, watchdogs};
  // The watchdogs go last: their destructor lets the disarmed threads finish before the exit.
  return vantrel::run_host(*streams.input, *streams.output, host);
}
