#include "domain/messages/get_printer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_print_system.hpp"
#include "fake_watchdogs.hpp"

namespace vantrel {
namespace {

PrinterDetails with_media(std::size_t count, std::string default_media,
                          std::vector<std::string> ready) {
  PrinterDetails details;
  details.name = "Label";
  details.state = PrintQueueState::idle;
  for (std::size_t i = 0; i < count; ++i) {
    details.media.push_back({"m" + std::to_string(i), {1000 + static_cast<int>(i), 2000}, {}});
  }
  details.default_media = std::move(default_media);
  details.ready_media = std::move(ready);
  return details;
}

std::vector<std::string> names(const PrinterDetails& details) {
  std::vector<std::string> found;
  for (const PrinterMedia& media : details.media) found.push_back(media.name);
  return found;
}

TEST(LimitMedia, KeepsTheFirstInOrderAndAlwaysTheDefaultAndTheLoadedOnes) {
  PrinterDetails few = with_media(3, "m2", {});
  EXPECT_FALSE(limit_media(few, 3));
  EXPECT_EQ(names(few).size(), 3u);

  PrinterDetails many = with_media(10, "m8", {"m9", "m1"});
  EXPECT_TRUE(limit_media(many, 4));
  EXPECT_EQ(names(many), (std::vector<std::string>{"m0", "m1", "m8", "m9"}));

  PrinterDetails all_kept = with_media(6, "m5", {"m4", "m3"});
  EXPECT_TRUE(limit_media(all_kept, 2));
  EXPECT_EQ(names(all_kept), (std::vector<std::string>{"m3", "m4", "m5"}));
}

TEST(GetPrinter, AsksThePrintSystemUnderItsWatchdogAndBoundsTheAnswer) {
  fakes::FakePrintSystem printing;
  fakes::FakeWatchdogs watchdogs;
  printing.details["Label"] = with_media(300, "m299", {});
  printing.details["Label"].state = PrintQueueState::paused;
  const auto answer = handle_get_printer("Label", printing, watchdogs);
  ASSERT_TRUE(answer.has_value()) << answer.error().message;
  EXPECT_EQ(answer->details.media.size(), MAX_LISTED_MEDIA);
  EXPECT_EQ(answer->details.media.back().name, "m299");
  EXPECT_TRUE(answer->media_truncated);
  EXPECT_FALSE(answer->enabled);
  EXPECT_EQ(answer->uri, "fake");
  EXPECT_EQ(watchdogs.labels, std::vector<std::string>{"get_printer"});
  EXPECT_EQ(watchdogs.armed_now, 0);

  // A name that no queue can have is refused before anything is asked.
  EXPECT_EQ(handle_get_printer("", printing, watchdogs).error(),
            (HostError{ErrorCode::BAD_REQUEST,
                       "printer is empty, too long, or contains control characters."}));
  EXPECT_EQ(printing.calls.size(), 1u);
}

}  // namespace
}  // namespace vantrel
