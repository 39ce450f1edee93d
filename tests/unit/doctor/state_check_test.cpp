#include "doctor/state_check.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "domain/state/host_log.hpp"
#include "domain/state/ledger.hpp"
#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string SHA(64, 'a');
constexpr std::uint64_t T0 = 1'765'121'124'123;  // 2025-12-07T15:25:24.123Z

class DoctorState : public ::testing::Test {
 protected:
  FakeStateFiles files;

  void put_ledger(const HostLedger& ledger) {
    (void)files.store();  // the folder, as a host made it
    files.put_file(files.path("ledger.json"), *encode_ledger(ledger));
  }
  // The check of that name; the state checks come in the order folder, lock, ledger.
  DoctorCheck check_named(std::string_view name) {
    for (DoctorCheck& check : check_state(files)) {
      if (check.name == name) return check;
    }
    throw std::logic_error("no such check");
  }
};

TEST_F(DoctorState, CountsAttemptsByStateAndListsThoseOfUnknownOutcomeWritingNothing) {
  HostLedger ledger;
  ledger.jobs["order-1"] = {"order-1", SHA, AttemptState::SUBMITTED, "Label", "7", T0, T0, "",
                            "",        ""};
  ledger.jobs["order-2"] = {"order-2", SHA,       AttemptState::UNKNOWN, "Label", "",
                            T0,        T0 + 1000, "HOST_RESTARTED",      "",      ""};
  ledger.jobs["order-3"] = {"order-3", SHA, AttemptState::DISPATCHING, "Zebra", "", T0, T0, "",
                            "",        ""};
  put_ledger(ledger);
  const std::string before = *files.file(files.path("ledger.json"));
  files.calls.clear();

  const std::vector<DoctorCheck> checks = check_state(files);
  ASSERT_EQ(checks.size(), 3u);
  EXPECT_TRUE(checks[0].ok && checks[1].ok && checks[2].ok);
  EXPECT_THAT(checks[2].detail,
              HasSubstr("3 attempts (DISPATCHING 1, SUBMITTED 1, UNKNOWN 1), 2 whose label may or "
                        "may not have printed"));
  EXPECT_THAT(checks[2].notes,
              ElementsAre("outcome unknown: intent order-2, UNKNOWN, queue Label, recorded "
                          "2025-12-07T15:25:24.123Z, last changed 2025-12-07T15:25:25.123Z, "
                          "HOST_RESTARTED",
                          HasSubstr("intent order-3, DISPATCHING, queue Zebra")));
  EXPECT_EQ(*files.file(files.path("ledger.json")), before);
  EXPECT_THAT(files.calls_of("create_file"), ::testing::IsEmpty());  // no ledger, no bridge status
  EXPECT_THAT(files.calls_of("rename_over"), ::testing::IsEmpty());
}

TEST_F(DoctorState, ALockHeldElsewhereFailsAtOnceWithoutWaiting) {
  put_ledger({});
  files.other_lock_holder_until = std::chrono::hours(1);
  const DoctorCheck lock = check_named("ledger lock");
  EXPECT_FALSE(lock.ok);
  EXPECT_THAT(lock.detail, HasSubstr("held by another process now"));
  EXPECT_EQ(files.lock_attempts, 1);
  EXPECT_THAT(files.pauses, ::testing::IsEmpty());
  EXPECT_FALSE(files.lock_held());
}

TEST_F(DoctorState, AnUnreadableLedgerFailsWithWhatTheHostAnswers) {
  (void)files.store();
  files.put_file(files.path("ledger.json"), "{\"schema\": 1,");
  const DoctorCheck ledger = check_named("ledger");
  EXPECT_FALSE(ledger.ok);
  EXPECT_THAT(ledger.detail, HasSubstr("STATE_CORRUPT, The print-helper ledger is unreadable."));
  EXPECT_THAT(ledger.advice, HasSubstr("send the file to support and keep it"));
}

TEST_F(DoctorState, AFolderOfAnotherUserFailsAndAMissingOneIsNotMade) {
  const std::vector<DoctorCheck> missing = check_state(files);
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_TRUE(missing[0].ok);
  EXPECT_THAT(missing[0].detail, HasSubstr("not made yet"));
  EXPECT_FALSE(files.is_folder(files.state_folder()));

  files.folders.insert(files.state_folder());
  files.foreign_folders.insert(files.state_folder());
  const DoctorCheck foreign = check_named("state folder");
  EXPECT_FALSE(foreign.ok);
  EXPECT_THAT(foreign.detail, HasSubstr("belongs to another user"));
}

TEST_F(DoctorState, TheLogShowsItsLastLines) {
  (void)files.store();
  files.folders.insert(join_path(files.path_syntax(), files.state_folder(), "logs"));
  std::string text;
  for (int i = 1; i <= 12; ++i) text += "line " + std::to_string(i) + "\n";
  files.put_file(join_path(files.path_syntax(), files.state_folder(), "logs/host.log"), text);
  const DoctorCheck log = check_log(files);
  EXPECT_TRUE(log.ok);
  EXPECT_THAT(log.detail, HasSubstr("logs/host.log, its last 10 lines:"));
  EXPECT_EQ(log.notes.front(), "line 3");
  EXPECT_EQ(log.notes.back(), "line 12");
}

// A log that cannot be rotated, or that is no file, loses its lines: the doctor says so.
TEST_F(DoctorState, TheLogSaysWhenLinesAreBeingLost) {
  (void)files.store();
  const std::string log_path =
      join_path(files.path_syntax(), files.state_folder(), "logs/host.log");
  files.folders.insert(join_path(files.path_syntax(), files.state_folder(), "logs"));
  files.put_file(log_path, std::string(LOG_LOSING_LINES_BYTES + 1, '\n'));
  EXPECT_FALSE(check_log(files).ok);
  EXPECT_THAT(check_log(files).detail, HasSubstr("lines are being lost"));
  files.not_regular.insert(log_path);
  EXPECT_THAT(check_log(files).detail, HasSubstr("special file: lines are being lost"));
}

}  // namespace
}  // namespace vantrel
