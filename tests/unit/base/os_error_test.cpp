#include "base/os_error.hpp"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(OsErrorText, TrimsDescriptionAndAppendsCode) {
  EXPECT_EQ(compose_os_error_text(33, std::string("Lock violation.\r\n")),
            "Lock violation. (os error 33)");
  EXPECT_EQ(compose_os_error_text(10035, std::unexpected(317u)),
            "OS Error 10035 (FormatMessageW() returned error 317) (os error 10035)");
}

TEST(OsErrorText, MessageJoinsFixedTextWithOneColon) {
  const std::string os = os_error_text(5);
  EXPECT_EQ(os_error_message("Windows rejected the print job", 5),
            "Windows rejected the print job: " + os);
  EXPECT_EQ(os_error_message("Cannot create print-helper state: ", 5),
            "Cannot create print-helper state: " + os);
}

}  // namespace
}  // namespace vantrel
