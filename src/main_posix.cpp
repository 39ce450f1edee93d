// Process entry of the native-messaging host on Linux: the same host over the POSIX state and
// CUPS. The browser passes arguments (its extension's origin, or Firefox's manifest path and
// extension id); the host only writes them into its log.
#include <csignal>

#include "doctor/command_line.hpp"
#include "domain/printing/cups/cups_calls.hpp"
#include "domain/printing/cups/cups_print_system.hpp"
#include "protocol/standard_streams.hpp"

int main(int argc, char** argv) {
  // A file-size limit below the log's or the ledger's size must fail that write (EFBIG), never
  // end the process before it answers.
  std::signal(SIGXFSZ, SIG_IGN);
  vantrel::CupsPrintSystem print_system(vantrel::system_cups_calls());
  return vantrel::run_command_line(vantrel::process_arguments(argc, argv), "linux", print_system);
}
