#include "doctor/command_line.hpp"

#include <cstdlib>
#include <optional>

#include "base/version.hpp"
#include "doctor/doctor.hpp"
#include "protocol/channel.hpp"
#include "protocol/host_process.hpp"
#include "protocol/standard_streams.hpp"

namespace vantrel {
namespace {

constexpr int USAGE_EXIT_STATUS = 2;

void write_output(std::string_view text) {
  StandardStreams streams = take_standard_streams();
  (void)write_all(*streams.output,
                  {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  (void)streams.output->flush();
}

int run_doctor_process(const std::vector<std::string>& arguments, PrintSystem& print_system) {
  bool json = false;
  std::vector<std::string> extensions;
  std::optional<std::string> chromium_profile;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const bool has_value = i + 1 < arguments.size();
    if (arguments[i] == "--json" && !json) {
      json = true;
    } else if (arguments[i] == "--extension" && has_value) {
      extensions.push_back(arguments[++i]);
    } else if (arguments[i] == "--chromium-profile" && has_value && !chromium_profile) {
      chromium_profile = arguments[++i];
    } else {
      write_standard_error(usage_text());
      return USAGE_EXIT_STATUS;
    }
  }
  DoctorServices services{system_doctor_system(), system_state_files(), print_system, HOST_VERSION,
                          std::move(extensions)};
  services.chromium_profile = std::move(chromium_profile);
  const DoctorRun run = run_doctor(services);
  write_output(json ? doctor_json(run.report) : doctor_text(run.report));
  const int status = doctor_exit_status(run.report);
  // A check still hangs on a thread of its own, inside the print system or the files: ending
  // now spares it the destruction of what it uses.
  if (run.left_running) std::_Exit(status);
  return status;
}

}  // namespace

std::string usage_text() {
  return "usage: vantrel-print-host --doctor [--json] [--extension ID]... [--chromium-profile "
         "DIR]\n"
         "       vantrel-print-host --help | --version\n"
         "A browser starts the host itself, with an extension's origin or a manifest's path as "
         "its first argument.\n"
         "  --doctor                checks the installation as each browser uses it; exit 1 "
         "when a check fails\n"
         "  --json                  the report as one JSON object\n"
         "  --extension ID          also checks that each browser lets this extension start "
         "the host: its Chromium id\n"
         "                          (32 letters a-p, or chrome-extension://ID/) or its Firefox "
         "id (name@example.com or {uuid})\n"
         "  --chromium-profile DIR  for a Chromium browser started with --user-data-dir=DIR, "
         "which reads the\n"
         "                          user's manifests from DIR/NativeMessagingHosts (Linux)\n"
         "  --help, --version       this text, or the version\n";
}

int run_command_line(const std::vector<std::string>& arguments, std::string_view platform,
                     PrintSystem& print_system) {
  const std::string_view first = arguments.empty() ? "" : std::string_view(arguments.front());
  if (first == "--doctor") return run_doctor_process(arguments, print_system);
  if (first == "--help") {
    write_output(usage_text());
    return 0;
  }
  if (first == "--version") {
    write_output("vantrel-print-host " + std::string(HOST_VERSION) + "\n");
    return 0;
  }
  return run_host_process(arguments, platform, print_system);
}

}  // namespace vantrel
