#include "doctor/host_start.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_doctor_system.hpp"
#include "protocol/answers.hpp"
#include "protocol/envelope.hpp"

namespace vantrel {
namespace {

using fakes::FakeDoctorSystem;
using ::testing::HasSubstr;

const std::string PROGRAM = "/usr/lib/vantrel-print-host/vantrel-print-host";

// An answer as the host frames it.
std::string framed(const HostResponse& response) {
  const std::string body = encode_response(response);
  std::string frame;
  for (int shift = 0; shift < 32; shift += 8)
    frame.push_back(static_cast<char>(body.size() >> shift));
  return frame + body;
}

std::string hello_answer(std::string_view version) {
  JsonValue result = hello_result("linux");
  result["version"] = version;
  return framed(HostResponse{"doctor", std::move(result)});
}

struct StartRow {
  std::optional<FakeDoctorSystem::Program> program;  // nullopt: not there
  std::string found;                                 // in the detail
  bool ok = false;
};

class DoctorHostStart : public ::testing::TestWithParam<StartRow> {};

TEST_P(DoctorHostStart, ConcludesFromWhatTheStartedHostAnswers) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  if (GetParam().program) system.programs[PROGRAM] = *GetParam().program;
  const HostStart start{
      PROGRAM, {"chrome-extension://ondflflfbmjblmgagbkicebfakiegiai/"}, {"Chrome", "Edge"}, false};
  const DoctorCheck check = check_host_start(system, start, "1.0.0", std::chrono::seconds(5));
  EXPECT_EQ(check.ok, GetParam().ok) << check.detail;
  EXPECT_EQ(check.name, "program for Chrome, Edge");
  EXPECT_THAT(check.detail, HasSubstr(GetParam().found));
  EXPECT_EQ(check.advice.empty(), GetParam().ok);
  if (!system.starts.empty()) {
    EXPECT_EQ(system.starts[0].arguments, start.arguments);
    EXPECT_EQ(system.starts[0].input, framed_hello_request());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DoctorHostStart,
    ::testing::Values(
        StartRow{FakeDoctorSystem::Program{hello_answer("1.0.0")},
                 "answered hello as version 1.0.0", true},
        StartRow{std::nullopt,
                 PROGRAM + " chrome-extension://ondflflfbmjblmgagbkicebfakiegiai/: not found"},
        StartRow{FakeDoctorSystem::Program{hello_answer("0.9.0")},
                 "answered hello as version 0.9.0, this doctor is 1.0.0"},
        StartRow{FakeDoctorSystem::Program{"", 0, true},
                 "gave no answer within 5 s, so it was ended"},
        StartRow{FakeDoctorSystem::Program{"", 1}, "ended without answering (exit status 1)"},
        StartRow{FakeDoctorSystem::Program{hello_answer("1.0.0").substr(0, 20)},
                 "ended in mid-answer"},
        StartRow{FakeDoctorSystem::Program{framed(HostResponse{
                     "doctor", fail(ErrorCode::BRIDGE_BUSY, "Another print helper is busy.")})},
                 "answered hello with BRIDGE_BUSY: Another print helper is busy."},
        StartRow{FakeDoctorSystem::Program{std::string("\xff\xff\xff\x7f", 4)},
                 "native message length is outside the allowed range"}));

}  // namespace
}  // namespace vantrel
