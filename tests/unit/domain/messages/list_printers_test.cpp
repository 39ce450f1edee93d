#include "domain/messages/list_printers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_print_system.hpp"
#include "fake_watchdogs.hpp"

namespace vantrel {
namespace {

using fakes::FakePrintSystem;
using fakes::FakeWatchdogs;

// The listing over the in-memory print system.
class ListPrinters : public ::testing::Test {
 protected:
  // Runs the handler and checks what holds on every path: the watchdog is armed once with
  // "list_printers" before the first call of the print system, and disarmed before the answer.
  Result<QueueListing> list() {
    int calls_outside_watchdog = 0;
    printing.plan().hook = [&](std::string_view) {
      if (watchdogs.armed_now != 1) ++calls_outside_watchdog;
    };
    Result<QueueListing> listing = handle_list_printers(printing, watchdogs);
    printing.plan().hook = nullptr;
    EXPECT_EQ(watchdogs.labels, std::vector<std::string>{"list_printers"});
    EXPECT_EQ(watchdogs.armed_now, 0);
    EXPECT_EQ(calls_outside_watchdog, 0);
    return listing;
  }

  static std::vector<std::string> names(const QueueListing& listing) {
    std::vector<std::string> names;
    for (const PrintQueueInfo& queue : listing.queues) names.push_back(queue.name);
    return names;
  }

  FakePrintSystem printing;
  FakeWatchdogs watchdogs;
};

TEST_F(ListPrinters, SortsByUtf8BytesAndKeepsEqualNamesInTheSystemsOrder) {
  printing.queue_list = {{"label", PrintQueueState::idle},    {"Same", PrintQueueState::paused},
                         {"Tag", PrintQueueState::idle},      {"\xC3\x89t", PrintQueueState::idle},
                         {"Same", PrintQueueState::printing}, {"Lab", PrintQueueState::idle}};
  const auto listing = list();
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(names(*listing),
            (std::vector<std::string>{"Lab", "Same", "Same", "Tag", "label", "\xC3\x89t"}));
  EXPECT_EQ(listing->queues[1].state, PrintQueueState::paused);
  EXPECT_EQ(listing->queues[2].state, PrintQueueState::printing);
}

TEST_F(ListPrinters, OnlyIdleOrPrintingQueuesAreEnabledAndTheDefaultIsTheSystemsOwn) {
  using State = PrintQueueState;
  printing.queue_list = {{"a", State::unavailable}, {"b", State::idle},   {"c", State::printing},
                         {"d", State::offline},     {"e", State::paused}, {"f", State::error}};
  printing.default_name = "Remote";  // not among the queues: reported all the same
  const auto listing = list();
  ASSERT_TRUE(listing.has_value());
  std::vector<bool> enabled;
  for (const PrintQueueInfo& queue : listing->queues) {
    enabled.push_back(queue.enabled);
    EXPECT_EQ(queue.uri, "fake");
  }
  EXPECT_EQ(enabled, (std::vector<bool>{false, true, true, false, false, false}));
  EXPECT_EQ(listing->default_printer, "Remote");
}

TEST_F(ListPrinters, NoListIsTheErrorAndTheDefaultIsNotAsked) {
  printing.fail("queues");
  const auto listing = list();
  ASSERT_FALSE(listing.has_value());
  EXPECT_EQ(listing.error().code, ErrorCode::PRINT_SYSTEM_UNAVAILABLE);
  EXPECT_EQ(printing.calls, std::vector<std::string>{"queues"});
}

TEST_F(ListPrinters, FailedWatchdogMeansNoPrintSystemCall) {
  watchdogs.arm_failure =
      HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "Cannot start the watchdog"};
  const auto listing = handle_list_printers(printing, watchdogs);
  ASSERT_FALSE(listing.has_value());
  EXPECT_EQ(listing.error(), *watchdogs.arm_failure);
  EXPECT_TRUE(printing.calls.empty());
}

}  // namespace
}  // namespace vantrel
