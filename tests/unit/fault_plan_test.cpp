#include "fault_plan.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace vantrel::fakes {
namespace {

// Every fixture of the unit tests fails when one of its doubles ends with a planned fault that
// never fired.
const bool REPORTING = [] {
  FaultPlan::report_unfired = [](const std::string& fault) { ADD_FAILURE() << fault; };
  return true;
}();

TEST(FaultPlan, AFaultOrCrashThatNeverFiredFailsTheTest) {
  ASSERT_TRUE(REPORTING);
  EXPECT_NONFATAL_FAILURE(
      {
        FaultPlan plan;
        plan.fail("write", 28, 2);
        (void)plan.enter("write");
      },
      "planned fault of write (use 2, error 28) never fired");
  EXPECT_NONFATAL_FAILURE(
      {
        FaultPlan plan;
        plan.crash_after(3);
      },
      "never reached");
  FaultPlan fired;
  fired.fail("write", 28);
  EXPECT_TRUE(fired.enter("write").has_value());
}

}  // namespace
}  // namespace vantrel::fakes
