// Process entry of the native-messaging host. The browser passes arguments (its extension's
// origin and a parent window, or Firefox's manifest path and extension id); the host only
// writes them into its log.
#include "doctor/command_line.hpp"
#include "domain/printing/windows/windows_print_system.hpp"
#include "protocol/standard_streams.hpp"

int main(int argc, char** argv) {
  vantrel::WindowsPrintSystem print_system(vantrel::windows_spooler(),
                                           vantrel::windows_print_devices());
  return vantrel::run_command_line(vantrel::process_arguments(argc, argv), "windows", print_system);
}
