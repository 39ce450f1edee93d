#include <gtest/gtest.h>

#include <chrono>

#include "base/os_error.hpp"
#include "domain/state/host_state.hpp"
#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeStateFiles;

const std::u16string FOLDER{FakeStateFiles::STATE_FOLDER};
const std::u16string LOCK_PATH = FOLDER + u"\\ledger.lock";
const std::u16string LEDGER_PATH = FOLDER + u"\\ledger.json";

const HostError BUSY{
    ErrorCode::BRIDGE_BUSY,
    "Another print-helper request is still finishing. Check status again shortly."};

// The folder through the Windows state over the files, as every message prepares it first.
Result<std::u16string> locate_state_folder(FakeStateFiles& files) {
  WindowsStateStore store(files);
  if (Status prepared = prepare_state_folder(store); !prepared) {
    return std::unexpected(prepared.error());
  }
  return store.folder();
}

TEST(LocateStateFolder, CreatesTheFolderWithMissingAncestors) {
  FakeStateFiles files;
  files.app_data = u"C:\\Users\\tester\\AppData\\Local\\Roaming\\Deep";
  const auto folder = locate_state_folder(files);
  ASSERT_TRUE(folder.has_value());
  EXPECT_EQ(*folder, files.app_data + u"\\com.vantrel.print");
  EXPECT_TRUE(files.folders.contains(*folder));
  EXPECT_TRUE(files.folders.contains(u"C:\\Users\\tester\\AppData\\Local\\Roaming"));
}

TEST(LocateStateFolder, AcceptsAnExistingFolderUnchanged) {
  FakeStateFiles files;
  files.folders.insert(FOLDER);
  files.put_file(LEDGER_PATH, "kept");
  EXPECT_EQ(locate_state_folder(files).value(), FOLDER);
  EXPECT_EQ(files.file(LEDGER_PATH), "kept");
}

TEST(LocateStateFolder, FileAtThePathCannotBeTheFolder) {
  FakeStateFiles files;
  files.put_file(FOLDER, "");
  EXPECT_EQ(locate_state_folder(files).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot create print-helper state: " + os_error_text(183)}));
}

TEST(LocateStateFolder, CreationFailureCarriesTheOsError) {
  FakeStateFiles files;
  files.fail("create_directory", 5);
  EXPECT_EQ(locate_state_folder(files).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot create print-helper state: " + os_error_text(5)}));
}

TEST(LocateStateFolder, KnownFolderLookupFailure) {
  FakeStateFiles files;
  files.fail("local_app_data_path", 0x80070003);
  EXPECT_EQ(locate_state_folder(files).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot locate the current user's application-data directory."}));
  EXPECT_TRUE(files.calls_of("create_directory").empty());
}

class StateLockTest : public ::testing::Test {
 protected:
  FakeStateFiles files;
  void SetUp() override { files.folders.insert(FOLDER); }
};

TEST_F(StateLockTest, FirstLockCreatesAnEmptyLockFileAndDropReleases) {
  {
    auto lock = acquire_state_lock(files.store());
    ASSERT_TRUE(lock.has_value());
    EXPECT_TRUE(lock->is_held());
    EXPECT_TRUE(files.lock_held());
  }
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.open_handle_count(), 0u);
  EXPECT_EQ(files.file(LOCK_PATH), "");
  EXPECT_EQ(files.lock_attempts, 1);
  EXPECT_TRUE(files.pauses.empty());
}

TEST_F(StateLockTest, LockFileThatCannotBeOpened) {
  files.fail("open_lock_file", 5);
  EXPECT_EQ(acquire_state_lock(files.store()).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot open print-helper lock: " + os_error_text(5)}));
}

TEST_F(StateLockTest, HeldElsewhereGivesBusyAfterTheWholeWaitInSlices) {
  files.other_lock_holder_until = 1h;
  EXPECT_EQ(acquire_state_lock(files.store()).error(), BUSY);
  EXPECT_GE(files.clock, 750ms);
  EXPECT_EQ(files.lock_attempts, 31);  // at 0, 25, ..., 750 ms
  for (const auto pause : files.pauses) EXPECT_LE(pause, 25ms);
  EXPECT_EQ(files.open_handle_count(), 0u);
}

TEST_F(StateLockTest, BusyNeverComesEarlyEvenWhenPausesEndEarly) {
  files.other_lock_holder_until = 1h;
  files.pause_speed = 0.3;
  EXPECT_EQ(acquire_state_lock(files.store()).error(), BUSY);
  EXPECT_GE(files.clock, 750ms);
}

TEST_F(StateLockTest, LastPauseIsShortenedToTheDeadline) {
  files.other_lock_holder_until = 1h;
  files.pause_speed = 1.1;  // timers that wake late: 27.5 ms per slice
  EXPECT_EQ(acquire_state_lock(files.store()).error(), BUSY);
  ASSERT_EQ(files.pauses.size(), 28u);
  EXPECT_EQ(files.pauses[26], 25ms);
  EXPECT_EQ(files.pauses.back(), 7'500us);  // 750 - 27 * 27.5
}

TEST_F(StateLockTest, LockReleasedAfter100msIsTakenAtTheNextAttempt) {
  files.other_lock_holder_until = 100ms;
  const auto lock = acquire_state_lock(files.store());
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(files.lock_taken_at, 100ms);
  EXPECT_EQ(files.lock_attempts, 5);
}

TEST_F(StateLockTest, WouldBlockCountsAsContention) {
  files.fail("lock_whole_file", 10035, 3);
  EXPECT_TRUE(acquire_state_lock(files.store()).has_value());
  EXPECT_EQ(files.lock_attempts, 4);
}

class NonContentionLockError : public StateLockTest,
                               public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(NonContentionLockError, FailsAtOnceWithoutRetry) {
  files.fail("lock_whole_file", GetParam(), -1);
  EXPECT_EQ(acquire_state_lock(files.store()).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot lock print-helper state: " + os_error_text(GetParam())}));
  EXPECT_EQ(files.lock_attempts, 1);
  EXPECT_TRUE(files.pauses.empty());
  EXPECT_EQ(files.open_handle_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Codes, NonContentionLockError, ::testing::Values(1u, 5u, 6u, 158u, 997u));

TEST(PauseUnits, RoundUpSoNoPauseEndsEarly) {
  EXPECT_EQ(pause_in_100ns_units(25ms), 250'000);
  EXPECT_EQ(pause_in_100ns_units(101ns), 2);
  EXPECT_EQ(pause_in_100ns_units(0ns), 0);
  EXPECT_EQ(pause_in_whole_ms(25ms), 25u);
  EXPECT_EQ(pause_in_whole_ms(24'000'001ns), 25u);
  EXPECT_EQ(pause_in_whole_ms(1ns), 1u);
  EXPECT_EQ(pause_in_whole_ms(-5ns), 0u);
}

class OpenHostState : public ::testing::Test {
 protected:
  FakeStateFiles files;
};

TEST_F(OpenHostState, FreshMachineGetsFolderAndLockButNoLedgerFile) {
  {
    auto state = open_host_state(files.store());
    ASSERT_TRUE(state.has_value()) << state.error().message;
    EXPECT_EQ(files.store().folder(), FOLDER);
    EXPECT_TRUE(state->ledger.jobs.empty());
    EXPECT_EQ(state->ledger.updated_at_ms, state->now());
    EXPECT_TRUE(files.lock_held());
  }
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.file_names(), std::vector<std::u16string>{LOCK_PATH});
}

TEST_F(OpenHostState, HandlersSaveThroughTheState) {
  auto state = open_host_state(files.store()).value();
  state.ledger.jobs["a"] = JobRecord{"a", "x", "DISPATCHING", "p", "", 1, 1, "", ""};
  ASSERT_TRUE(state.save().has_value());
  EXPECT_EQ(load_ledger(files.store()).value().jobs.at("a").state, "DISPATCHING");
}

TEST_F(OpenHostState, CorruptLedgerIsRefusedWithTheLockReleased) {
  files.folders.insert(FOLDER);
  files.put_file(LEDGER_PATH, "\xEF\xBB\xBF{}");
  EXPECT_EQ(open_host_state(files.store()).error().code, ErrorCode::STATE_CORRUPT);
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.open_handle_count(), 0u);
  EXPECT_EQ(files.file(LEDGER_PATH), "\xEF\xBB\xBF{}");
}

TEST_F(OpenHostState, FailedRecoverySaveIsTheAnswerAndKeepsTheFile) {
  files.folders.insert(FOLDER);
  HostLedger ledger{1, 1, {}};
  ledger.jobs["a"] =
      JobRecord{"a", "x", "DISPATCHING", "p", "", 1, files.store().now_unix_ms(), "", ""};
  ASSERT_TRUE(save_ledger(files.store(), ledger).has_value());
  const std::string before = files.file(LEDGER_PATH).value();
  files.fail("flush_file", 112);
  EXPECT_EQ(open_host_state(files.store()).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot save print-helper state: " + os_error_text(112)}));
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.file(LEDGER_PATH), before);
}

TEST_F(OpenHostState, BusyLockIsTheAnswer) {
  files.other_lock_holder_until = 1h;
  EXPECT_EQ(open_host_state(files.store()).error(), BUSY);
  EXPECT_TRUE(files.calls_of("read_whole_file").empty());
}

}  // namespace
}  // namespace vantrel
