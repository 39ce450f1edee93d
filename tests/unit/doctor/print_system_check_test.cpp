#include "doctor/print_system_check.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_doctor_system.hpp"
#include "fake_print_system.hpp"

namespace vantrel {
namespace {

using fakes::FakeDoctorSystem;
using fakes::FakePrintSystem;
using ::testing::HasSubstr;

TEST(DoctorPrintSystem, NamesTheQueuesAndTheDefaultOrWhyItCannotPrint) {
  FakePrintSystem printing;
  FakeDoctorSystem linux(BrowserPlatform::linux);
  FakeDoctorSystem windows(BrowserPlatform::windows);
  printing.queue_list.push_back({"Zebra", PrintQueueState::paused});
  const DoctorCheck healthy = check_print_system(printing, windows);
  EXPECT_TRUE(healthy.ok);
  EXPECT_EQ(healthy.detail, "reachable, 2 queues (Label, Zebra), default Label");

  printing.fail("queues");
  const DoctorCheck unreachable = check_print_system(printing, windows);
  EXPECT_FALSE(unreachable.ok);
  EXPECT_EQ(unreachable.detail, "unreachable: The queues could not be listed");
  EXPECT_THAT(unreachable.advice, HasSubstr("Print Spooler"));

  printing.queue_list.clear();
  const DoctorCheck empty = check_print_system(printing, linux);
  EXPECT_FALSE(empty.ok);
  EXPECT_THAT(empty.detail, HasSubstr("but it has no queue"));
}

// As libcups chooses: the environment first (the browser's, which the host inherits), then
// the user's client.conf, then the system's.
TEST(DoctorPrintSystem, SaysWhichSchedulerItReachedAndWhatChoseIt) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files["/etc/cups/client.conf"] = "ServerName print.example\n";
  EXPECT_EQ(cups_scheduler_source(system),
            "scheduler print.example from ServerName in /etc/cups/client.conf");
  system.files["/home/ada/.cups/client.conf"] = "# mine\n  ServerName /run/user/cups.sock \n";
  EXPECT_EQ(cups_scheduler_source(system),
            "scheduler /run/user/cups.sock from ServerName in /home/ada/.cups/client.conf");
  system.environment_values["CUPS_SERVER"] = "localhost:8631";
  FakePrintSystem printing;
  EXPECT_THAT(check_print_system(printing, system).detail,
              HasSubstr("reachable (scheduler localhost:8631 from CUPS_SERVER), 1 queue"));
}

}  // namespace
}  // namespace vantrel
