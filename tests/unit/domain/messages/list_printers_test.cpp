#include "domain/messages/list_printers.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/os_error.hpp"
#include "fake_spooler.hpp"
#include "fake_watchdogs.hpp"
#include "protocol/answers.hpp"

namespace vantrel {
namespace {

using fakes::FakeSpooler;
using fakes::FakeWatchdogs;

// Runs the handler and checks the watchdog contract that holds on every path: armed once with
// "list_printers" before the first spooler call, disarmed before the handler returns.
Result<JsonValue> list(FakeSpooler& spooler) {
  FakeWatchdogs watchdogs;
  int calls_outside_watchdog = 0;
  spooler.plan.hook = [&](std::string_view) {
    calls_outside_watchdog += watchdogs.armed_now == 1 ? 0 : 1;
  };
  fakes::SpoolerPrintSystem windows(spooler);
  Result<JsonValue> result =
      answer_of(handle_list_printers(windows.system, watchdogs), queue_listing_result);
  EXPECT_EQ(watchdogs.labels, std::vector<std::string>{"list_printers"});
  EXPECT_EQ(watchdogs.armed_now, 0);
  EXPECT_EQ(calls_outside_watchdog, 0);
  EXPECT_TRUE(spooler.every_handle_closed_once());
  EXPECT_FALSE(spooler.misaligned_buffer);
  spooler.plan.hook = nullptr;
  return result;
}

std::string compact(const JsonValue& value) {
  std::string out;
  append_compact_json(out, value);
  return out;
}

std::vector<std::string> listed_names(const JsonValue& result) {
  std::vector<std::string> names;
  for (const auto& printer : result.at("printers")) names.push_back(printer.at("name"));
  return names;
}

TEST(QueueListing, ResultLayoutAndCallSequence) {
  FakeSpooler spooler;
  spooler.add_printer(u"Label", 0x400);
  spooler.default_printer = u"Label";
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(compact(*result),
            R"({"default_printer":"Label","printers":[{"enabled":true,"name":"Label",)"
            R"("state":"printing","uri":"winspool"}]})");
  EXPECT_EQ(spooler.calls, (std::vector<std::string>{
                               "EnumPrintersW(6, 4, null, 0)",
                               "EnumPrintersW(6, 4, buffer, 36)",
                               "OpenPrinterW(Label)",
                               "GetPrinterW(#1, 6, null, 0)",
                               "GetPrinterW(#1, 6, buffer, 4)",
                               "ClosePrinter(#1)",
                               "GetDefaultPrinterW(null, 0)",
                               "GetDefaultPrinterW(buffer, 6)",
                           }));
}

TEST(QueueListing, FillingCallsGetTheUnroundedNeededCount) {
  FakeSpooler spooler;
  spooler.add_printer(u"A");
  spooler.enum_needed = 50;
  spooler.printers[u"A"].status_needed = 13;
  ASSERT_TRUE(list(spooler).has_value());
  EXPECT_EQ(spooler.calls.at(1), "EnumPrintersW(6, 4, buffer, 50)");
  EXPECT_EQ(spooler.calls.at(4), "GetPrinterW(#1, 6, buffer, 13)");
}

TEST(SpoolerBuffer, CapacityIsRoundedUpToEightBytes) {
  for (const auto& [size, capacity] : {std::pair{0u, 0u}, {1u, 8u}, {8u, 8u}, {50u, 56u}}) {
    SpoolerBuffer buffer(size);
    EXPECT_EQ(buffer.capacity(), capacity) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 8, 0u);
  }
}

TEST(QueueListing, NoQueuesWhenSizingSucceedsWithZeroBytes) {
  FakeSpooler spooler;
  spooler.enum_sizing_ok = true;
  spooler.default_printer = u"Elsewhere";
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(compact(*result), R"({"default_printer":"Elsewhere","printers":[]})");
  EXPECT_EQ(spooler.calls.size(), 3u);  // one enumeration call, then the default in two
}

TEST(QueueListing, NoQueuesWhenFillingReturnsNoEntries) {
  FakeSpooler spooler;
  spooler.add_printer(u"Ghost");
  spooler.enum_returned = 0;
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(compact(*result), R"({"default_printer":"","printers":[]})");
  EXPECT_EQ(spooler.opened, 0);
}

TEST(QueueListing, SizingFailureWithZeroBytesReportsTheSystemError) {
  FakeSpooler spooler;
  spooler.enum_sizing_error = 1722;
  const auto result = list(spooler);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            (HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                       os_error_message("Windows could not enumerate print queues", 1722)}));
  EXPECT_EQ(result.error().message,
            "Windows could not enumerate print queues: " + os_error_text(1722));
  EXPECT_EQ(spooler.calls.size(), 1u);
}

TEST(QueueListing, FillingFailureReportsItsOwnSystemError) {
  FakeSpooler spooler;
  spooler.add_printer(u"A");
  spooler.enum_fill_error = 5;
  spooler.default_printer = u"A";
  const auto result = list(spooler);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code, ErrorCode::PRINT_SYSTEM_UNAVAILABLE);
  EXPECT_EQ(result.error().message,
            os_error_message("Windows could not enumerate print queues", 5));
  EXPECT_EQ(spooler.calls.size(), 2u);  // neither queues nor the default are read
}

// One queue whose status is read in the given way; the expected state word.
struct StatusCase {
  const char* name;
  std::function<void(fakes::FakePrinter&)> setup;
  const char* state;
  bool enabled;
};

class QueueState : public ::testing::TestWithParam<StatusCase> {};

TEST_P(QueueState, IsListedWithItsStateWord) {
  FakeSpooler spooler;
  spooler.add_printer(u"Q");
  GetParam().setup(spooler.printers[u"Q"]);
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  const JsonValue& queue = result->at("printers").at(0);
  EXPECT_EQ(queue.at("state"), GetParam().state);
  EXPECT_EQ(queue.at("enabled"), GetParam().enabled);
}

StatusCase with_status(const char* name, std::uint32_t status, const char* state, bool enabled) {
  return {name, [status](auto& printer) { printer.status = status; }, state, enabled};
}

INSTANTIATE_TEST_SUITE_P(
    StateRule, QueueState,
    ::testing::Values(
        with_status("NoBits", 0, "idle", true), with_status("Paused", 0x1, "paused", false),
        with_status("Error", 0x2, "error", false),
        with_status("PendingDeletion", 0x4, "error", false),
        with_status("PaperJam", 0x8, "error", false), with_status("PaperOut", 0x10, "error", false),
        with_status("ManualFeed", 0x20, "error", false),
        with_status("PaperProblem", 0x40, "error", false),
        with_status("Offline", 0x80, "offline", false),
        with_status("OutputBinFull", 0x800, "error", false),
        with_status("NotAvailable", 0x1000, "error", false),
        with_status("NoToner", 0x40000, "error", false),
        with_status("PagePunt", 0x80000, "error", false),
        with_status("UserIntervention", 0x100000, "error", false),
        with_status("OutOfMemory", 0x200000, "error", false),
        with_status("DoorOpen", 0x400000, "error", false),
        with_status("ServerUnknown", 0x800000, "error", false),
        with_status("IoActive", 0x100, "printing", true),
        with_status("Busy", 0x200, "printing", true),
        with_status("Printing", 0x400, "printing", true),
        with_status("Waiting", 0x2000, "printing", true),
        with_status("Processing", 0x4000, "printing", true),
        with_status("Initializing", 0x8000, "printing", true),
        with_status("WarmingUp", 0x10000, "printing", true),
        with_status("TonerLowAlone", 0x20000, "idle", true),
        with_status("PowerSaveAlone", 0x1000000, "idle", true),
        with_status("ServerOfflineAlone", 0x2000000, "idle", true),
        with_status("DriverUpdateNeededAlone", 0x4000000, "idle", true),
        with_status("PausedAndOffline", 0x81, "paused", false),
        with_status("OfflineWithPaperOut", 0x90, "offline", false),
        with_status("ErrorWhilePrinting", 0x402, "error", false),
        with_status("PrintingWithTonerLow", 0x20400, "printing", true),
        StatusCase{"CannotBeOpened", [](auto& p) { p.open_error = 5; }, "unavailable", false},
        StatusCase{"StatusSizeTooShort", [](auto& p) { p.status_needed = 3; }, "unavailable",
                   false},
        StatusCase{"StatusSizeZero", [](auto& p) { p.status_needed = 0; }, "unavailable", false},
        StatusCase{"StatusFillingFails", [](auto& p) { p.status_fill_error = 1722; }, "unavailable",
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QueueListing, UnreadableQueuesAreListedAndOthersStillRead) {
  FakeSpooler spooler;
  spooler.add_printer(u"Closed");
  spooler.add_printer(u"Short");
  spooler.add_printer(u"Fine", 0x1);
  spooler.printers[u"Closed"].open_error = 1801;
  spooler.printers[u"Short"].status_needed = 2;
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(listed_names(*result), (std::vector<std::string>{"Closed", "Fine", "Short"}));
  EXPECT_EQ(result->at("printers").at(1).at("state"), "paused");
  // Two handles, each closed once; the queue that did not open has none to close.
  EXPECT_EQ(spooler.opened, 2);
  const auto short_status_fills =
      std::ranges::count(spooler.calls, "GetPrinterW(#1, 6, buffer, 2)");
  EXPECT_EQ(short_status_fills, 0);
}

TEST(QueueListing, SortsByUtf8BytesCapitalsFirst) {
  FakeSpooler spooler;
  for (const char16_t* name : {u"label", u"Tag", u"Label", u"\u00C9t", u"Lab"}) {
    spooler.add_printer(name);
  }
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(listed_names(*result),
            (std::vector<std::string>{"Lab", "Label", "Tag", "label", "\xC3\x89t"}));
}

TEST(QueueListing, EqualNamesAreAllKeptInSpoolerOrder) {
  FakeSpooler spooler;
  spooler.add_printer(u"Same");
  spooler.add_printer(u"Other");
  spooler.add_printer(u"Same");
  spooler.printers[u"Same"].next_statuses = {0x1, 0x400};
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(listed_names(*result), (std::vector<std::string>{"Other", "Same", "Same"}));
  EXPECT_EQ(result->at("printers").at(1).at("state"), "paused");
  EXPECT_EQ(result->at("printers").at(2).at("state"), "printing");
}

TEST(QueueListing, EmptyAndAbsentNamesAreSkipped) {
  FakeSpooler spooler;
  spooler.records = {std::nullopt, u"", u"Real"};
  spooler.printers[u"Real"];
  spooler.printers[u""];
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(listed_names(*result), std::vector<std::string>{"Real"});
  EXPECT_EQ(spooler.opened, 1);
}

TEST(QueueListing, NameWithoutTerminatorFailsTheWholeListing) {
  FakeSpooler spooler;
  spooler.add_printer(u"Before");
  spooler.default_printer = u"Before";
  // One name without a terminator in its first 32768 units; another running to the buffer's
  // end, which is a multiple of 8 there, so that reading one unit further is caught by ASan.
  for (bool cut_by_buffer_end : {false, true}) {
    spooler.records = {u"Before", std::u16string(MAX_QUEUE_NAME_UNITS, u'n'), u"After"};
    if (cut_by_buffer_end) spooler.records = {u"Before", u"Tail"};
    spooler.last_name_unterminated = cut_by_buffer_end;
    const auto result = list(spooler);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                                         "Windows returned an invalid print-queue name."}));
    EXPECT_EQ(spooler.calls.back(), "ClosePrinter(#" + std::to_string(spooler.opened) + ")")
        << "nothing is read after the bad name";
  }
}

TEST(QueueListing, LongestTerminatedNameIsListed) {
  const std::u16string longest(MAX_QUEUE_NAME_UNITS - 1, u'n');
  FakeSpooler spooler;
  spooler.add_printer(longest, 0x80);
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->at("printers").at(0).at("name"), std::string(MAX_QUEUE_NAME_UNITS - 1, 'n'));
  EXPECT_EQ(result->at("printers").at(0).at("state"), "offline");
}

TEST(QueueListing, NonAsciiNamesAreUtf8AndReopenedByTheListedName) {
  FakeSpooler spooler;
  spooler.add_printer(u"\u00C9tiquettes \U0001F5A8", 0);
  spooler.records.emplace_back(u"Broken\xD800");
  // Reopened by the repaired name, which the spooler may or may not know.
  spooler.printers[u"Broken\uFFFD"].status = 0x400;
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(listed_names(*result),
            (std::vector<std::string>{"Broken\xEF\xBF\xBD", "\xC3\x89tiquettes \xF0\x9F\x96\xA8"}));
  EXPECT_EQ(result->at("printers").at(0).at("state"), "printing");
  EXPECT_EQ(result->at("printers").at(1).at("state"), "idle");
}

struct DefaultCase {
  const char* name;
  std::function<void(FakeSpooler&)> setup;
  const char* expected;
};

class DefaultPrinter : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultPrinter, IsReportedAsWindowsGivesIt) {
  FakeSpooler spooler;
  spooler.add_printer(u"Listed");
  GetParam().setup(spooler);
  const auto result = list(spooler);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->at("default_printer"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefaultPrinter,
    ::testing::Values(
        DefaultCase{"NoneSet", [](FakeSpooler&) {}, ""},
        DefaultCase{"AmongTheQueues", [](FakeSpooler& s) { s.default_printer = u"Listed"; },
                    "Listed"},
        DefaultCase{"NotAmongTheQueues", [](FakeSpooler& s) { s.default_printer = u"Remote"; },
                    "Remote"},
        DefaultCase{"FillingFails",
                    [](FakeSpooler& s) {
                      s.default_printer = u"Listed";
                      s.default_fill_error = 1722;
                    },
                    ""},
        DefaultCase{"NoTerminatorTakesEveryUnit",
                    [](FakeSpooler& s) {
                      s.default_printer = u"Listed";
                      s.default_count = 6;
                    },
                    "Listed"},
        DefaultCase{"StopsAtTheFirstNul",
                    [](FakeSpooler& s) { s.default_printer = std::u16string(u"Left\0Right", 10); },
                    "Left"},
        DefaultCase{"UnpairedSurrogate", [](FakeSpooler& s) { s.default_printer = u"\xDC00x"; },
                    "\xEF\xBF\xBDx"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QueueListing, FailedWatchdogMeansNoSpoolerCall) {
  FakeSpooler spooler;
  spooler.add_printer(u"A");
  FakeWatchdogs watchdogs;
  watchdogs.arm_failure =
      HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "Cannot start the watchdog"};
  fakes::SpoolerPrintSystem windows(spooler);
  const auto result = handle_list_printers(windows.system, watchdogs);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), *watchdogs.arm_failure);
  EXPECT_TRUE(spooler.calls.empty());
}

}  // namespace
}  // namespace vantrel
