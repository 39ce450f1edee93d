#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "doctor/doctor_report.hpp"
#include "doctor/doctor_system.hpp"
#include "doctor/registration.hpp"

namespace vantrel {

// How long a started host has to answer its hello; it is ended when it has not by then.
inline constexpr std::chrono::seconds HOST_ANSWER_LIMIT{5};

// One way the browsers start the host: a program and its arguments, and which browsers start it
// so.
struct HostStart {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::string> browsers;
  bool per_user = false;
};

// The distinct starts the registrations in use ask for, in their order.
[[nodiscard]] std::vector<HostStart> host_starts(const std::vector<Registration>& registrations);

// The request the doctor sends, framed: a hello with request_id "doctor".
[[nodiscard]] std::string framed_hello_request();

// Starts the program as the browsers do, sends the hello, and reads the framed answer until
// `limit`: ok when it answers with `version`. A program still running at the end is ended.
[[nodiscard]] DoctorCheck check_host_start(DoctorSystem& system, const HostStart& start,
                                           std::string_view version,
                                           std::chrono::milliseconds limit);

}  // namespace vantrel
