#include "doctor/doctor.hpp"

#include <functional>
#include <optional>
#include <vector>

#include "base/within.hpp"
#include "doctor/print_system_check.hpp"
#include "doctor/registration.hpp"
#include "doctor/state_check.hpp"

namespace vantrel {
namespace {

// Extra time for a host's start beyond its answer's own deadline, which starts only once it
// runs.
constexpr std::chrono::seconds HOST_START_MARGIN{2};

// The work's value within the limit, or nullopt when it still runs then.
template <class T>
std::optional<T> within(std::chrono::milliseconds limit, std::function<T()> work,
                        bool& left_running) {
  std::expected<T, Overrun> result = run_within(limit, work);
  if (result) return std::move(*result);
  if (result.error() == Overrun::no_thread) return work();  // unbounded, but a report all the same
  left_running = true;
  return std::nullopt;
}

DoctorCheck no_answer(std::string name, std::string_view what, std::chrono::milliseconds limit,
                      std::string advice) {
  return DoctorCheck{std::move(name),
                     false,
                     std::string(what) + " gave no answer within " + duration_text(limit),
                     std::move(advice),
                     {}};
}

}  // namespace

DoctorRun run_doctor(const DoctorServices& services) {
  DoctorRun run;
  DoctorReport& report = run.report;
  const BrowserPlatform platform = services.system.platform();
  report.version = services.version;
  report.platform = platform == BrowserPlatform::windows ? "windows" : "linux";
  const std::chrono::milliseconds limit = services.limits.check;

  std::vector<ExtensionId> extensions;
  for (const std::string& text : services.extensions) {
    auto extension = read_extension_id(text);
    if (extension) {
      extensions.push_back(std::move(*extension));
    } else {
      report.checks.push_back(DoctorCheck{"extension " + text,
                                          false,
                                          extension.error(),
                                          "give the id chrome://extensions or about:debugging "
                                          "shows, or the extension's origin",
                                          {}});
    }
  }
  auto registrations = within<std::vector<RegistrationFinding>>(
      limit,
      [&system = services.system, &extensions, &profile = services.chromium_profile] {
        std::vector<RegistrationFinding> findings;
        for (const BrowserLookup& lookup : browser_lookups(system, profile)) {
          findings.push_back(check_registration(system, lookup, extensions));
        }
        return findings;
      },
      run.left_running);
  std::vector<Registration> used;
  if (!registrations) {
    report.checks.push_back(
        no_answer("registration",
                  platform == BrowserPlatform::windows ? "the registry" : "the manifest folders",
                  limit, "run the doctor again; a network home folder or profile may be slow"));
  } else {
    for (RegistrationFinding& finding : *registrations) {
      report.checks.push_back(std::move(finding.check));
      if (finding.used) used.push_back(std::move(*finding.used));
    }
  }

  // The state and the log are read before any host starts: a started host takes the lock and may
  // recover and prune the ledger, and the state as the browser's next host will find it is what
  // counts; the log's last lines are then the browser's hosts', not the doctor's own.
  auto state = within<std::vector<DoctorCheck>>(
      limit, [&files = services.files] { return check_state(files); }, run.left_running);
  auto log = within<DoctorCheck>(
      limit, [&files = services.files] { return check_log(files); }, run.left_running);

  const std::chrono::milliseconds answer_limit = services.limits.host_answer;
  for (const HostStart& start : host_starts(used)) {
    auto check = within<DoctorCheck>(
        answer_limit + HOST_START_MARGIN,
        [&system = services.system, start, version = std::string(services.version), answer_limit] {
          return check_host_start(system, start, version, answer_limit);
        },
        run.left_running);
    report.checks.push_back(check ? std::move(*check)
                                  : no_answer("program " + start.program, "starting it",
                                              answer_limit + HOST_START_MARGIN,
                                              install_advice(platform, start.per_user)));
  }

  if (state) {
    for (DoctorCheck& check : *state) report.checks.push_back(std::move(check));
  } else {
    report.checks.push_back(no_answer("state folder", "the state folder", limit,
                                      "the state folder must be on a disk that answers"));
  }

  auto printing = within<DoctorCheck>(
      limit,
      [&printing = services.printing, &system = services.system] {
        return check_print_system(printing, system);
      },
      run.left_running);
  report.checks.push_back(printing ? std::move(*printing)
                                   : no_answer("print system", "the print system", limit,
                                               platform == BrowserPlatform::windows
                                                   ? "restart the Print Spooler service"
                                                   : "restart CUPS (systemctl restart cups)"));

  report.checks.push_back(
      log ? std::move(*log)
          : no_answer("log", "the log", limit, "the state folder must be on a disk that answers"));
  if (services.extensions.empty()) {
    report.hints.push_back(
        "to check that your own extension may start the host: --doctor --extension <its id>, "
        "the 32 letters chrome://extensions shows or the Firefox id of its manifest");
  }
  return run;
}

}  // namespace vantrel
