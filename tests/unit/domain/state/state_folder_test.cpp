#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "base/os_error.hpp"
#include "domain/state/host_state.hpp"
#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using fakes::FakeStateFiles;

const HostError BUSY{
    ErrorCode::BRIDGE_BUSY,
    "Another print-helper request is still finishing. Check status again shortly."};

// The folder through the state's rules, as every message prepares it first.
Result<std::string> prepared_folder(FakeStateFiles& files) {
  StateStore store(files);
  if (Status prepared = prepare_state_folder(store); !prepared) {
    return std::unexpected(prepared.error());
  }
  return store.folder();
}

TEST(PrepareStateFolder, FailuresCarryTheSystemsText) {
  FakeStateFiles files;
  files.fail("make_folder", 5);
  EXPECT_EQ(prepared_folder(files).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot create print-helper state: " + os_error_text(5)}));
}

TEST(PrepareStateFolder, BaseFolderThatCannotBeLocated) {
  FakeStateFiles files;
  files.base_folder.reset();
  EXPECT_EQ(prepared_folder(files).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot locate the current user's application-data directory."}));
  EXPECT_TRUE(files.calls_of("make_folder").empty());
}

class StateLockTest : public ::testing::Test {
 protected:
  FakeStateFiles files;
};

TEST_F(StateLockTest, FirstLockCreatesAnEmptyLockFileAndDropReleases) {
  {
    auto lock = acquire_state_lock(files.store());
    ASSERT_TRUE(lock.has_value());
    EXPECT_TRUE(files.lock_held());
  }
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.open_handle_count(), 0u);
  EXPECT_EQ(files.file(files.path("ledger.lock")), "");
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
  FakeStateFiles windows(fakes::Flavour::windows);
  windows.fail("try_lock", 10035, 3);
  EXPECT_TRUE(acquire_state_lock(windows.store()).has_value());
  EXPECT_EQ(windows.lock_attempts, 4);
}

struct LockCode {
  fakes::Flavour flavour;
  std::uint32_t code;
};

class NonContentionLockError : public ::testing::TestWithParam<LockCode> {};

TEST_P(NonContentionLockError, FailsAtOnceWithoutRetry) {
  FakeStateFiles files(GetParam().flavour);
  files.fail("try_lock", GetParam().code, -1);
  EXPECT_EQ(acquire_state_lock(files.store()).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot lock print-helper state: " + os_error_text(GetParam().code)}));
  EXPECT_EQ(files.lock_attempts, 1);
  EXPECT_TRUE(files.pauses.empty());
  EXPECT_EQ(files.open_handle_count(), 0u);
}

// Windows: anything but 33 and 10035; Linux: EINVAL from a file system without OFD locks.
INSTANTIATE_TEST_SUITE_P(Codes, NonContentionLockError,
                         ::testing::Values(LockCode{fakes::Flavour::windows, 1},
                                           LockCode{fakes::Flavour::windows, 5},
                                           LockCode{fakes::Flavour::windows, 6},
                                           LockCode{fakes::Flavour::windows, 158},
                                           LockCode{fakes::Flavour::windows, 997},
                                           LockCode{fakes::Flavour::posix, EINVAL}));

class OpenHostState : public ::testing::Test {
 protected:
  FakeStateFiles files;
};

TEST_F(OpenHostState, FreshMachineGetsFolderAndLockButNoLedgerFile) {
  {
    auto state = open_host_state(files.store());
    ASSERT_TRUE(state.has_value()) << state.error().message;
    EXPECT_EQ(files.store().folder(), files.state_folder());
    EXPECT_TRUE(state->ledger.jobs.empty());
    EXPECT_EQ(state->ledger.updated_at_ms, state->now());
    EXPECT_TRUE(files.lock_held());
  }
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.file_names(), std::vector<std::string>{files.path("ledger.lock")});
}

TEST_F(OpenHostState, HandlersSaveThroughTheState) {
  auto state = open_host_state(files.store()).value();
  state.ledger.jobs["a"] =
      JobRecord{"a", "x", AttemptState::DISPATCHING, "p", "", 1, 1, "", "", ""};
  ASSERT_TRUE(state.save().has_value());
  EXPECT_EQ(stored_state(load_ledger(files.store()).value().jobs.at("a")), "DISPATCHING");
}

TEST_F(OpenHostState, CorruptLedgerIsRefusedWithTheLockReleased) {
  files.put_file(files.path("ledger.json"), "\xEF\xBB\xBF{}");
  EXPECT_EQ(open_host_state(files.store()).error().code, ErrorCode::STATE_CORRUPT);
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.open_handle_count(), 0u);
  EXPECT_EQ(files.file(files.path("ledger.json")), "\xEF\xBB\xBF{}");
}

TEST_F(OpenHostState, FailedRecoverySaveIsTheAnswerAndKeepsTheFile) {
  HostLedger ledger{1, 1, {}};
  ledger.jobs["a"] = JobRecord{
      "a", "x", AttemptState::DISPATCHING, "p", "", 1, files.store().now_unix_ms(), "", "", ""};
  ASSERT_TRUE(save_ledger(files.store(), ledger).has_value());
  const std::string before = files.file(files.path("ledger.json")).value();
  files.fail("flush", 112);
  EXPECT_EQ(open_host_state(files.store()).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot save print-helper state: " + os_error_text(112)}));
  EXPECT_FALSE(files.lock_held());
  EXPECT_EQ(files.file(files.path("ledger.json")), before);
}

TEST_F(OpenHostState, BusyLockIsTheAnswer) {
  files.other_lock_holder_until = 1h;
  EXPECT_EQ(open_host_state(files.store()).error(), BUSY);
  EXPECT_TRUE(files.calls_of("read_file").empty());
}

}  // namespace
}  // namespace vantrel
