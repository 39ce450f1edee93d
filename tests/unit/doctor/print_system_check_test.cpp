#include "doctor/print_system_check.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_print_system.hpp"

namespace vantrel {
namespace {

using fakes::FakePrintSystem;
using ::testing::HasSubstr;

TEST(DoctorPrintSystem, NamesTheQueuesAndTheDefaultOrWhyItCannotPrint) {
  FakePrintSystem printing;
  printing.queue_list.push_back({"Zebra", PrintQueueState::paused});
  const DoctorCheck healthy = check_print_system(printing, BrowserPlatform::linux);
  EXPECT_TRUE(healthy.ok);
  EXPECT_EQ(healthy.detail, "reachable, 2 queues (Label, Zebra), default Label");

  printing.fail("queues");
  const DoctorCheck unreachable = check_print_system(printing, BrowserPlatform::windows);
  EXPECT_FALSE(unreachable.ok);
  EXPECT_EQ(unreachable.detail, "unreachable: The queues could not be listed");
  EXPECT_THAT(unreachable.advice, HasSubstr("Print Spooler"));

  printing.queue_list.clear();
  const DoctorCheck empty = check_print_system(printing, BrowserPlatform::linux);
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.detail, "reachable, but it has no queue");
}

}  // namespace
}  // namespace vantrel
