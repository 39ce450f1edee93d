#include "domain/state/state_store.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;
using fakes::Flavour;

// The rules are written once above the seam; each runs over both systems' files.
class StateStoreRules : public ::testing::TestWithParam<Flavour> {
 protected:
  FakeStateFiles files{GetParam()};
  StateStore& store = files.store();
  const std::string target = files.path("ledger.json");
  const std::string temporary = files.path(".ledger.json.4242.tmp");

  void SetUp() override {
    files.put_file(target, "old");
    files.calls.clear();
  }
  bool windows() const { return GetParam() == Flavour::windows; }
  void expect_target_untouched_and_closed() {
    EXPECT_EQ(files.file(target), "old");
    EXPECT_EQ(files.open_handle_count(), 0u);
  }
  // Windows leaves a failed temporary to be truncated by the next replacement; POSIX, which
  // creates only new files, removes it.
  void expect_failed_temporary_handled() {
    EXPECT_EQ(files.file(temporary).has_value(), windows());
  }
};

TEST_P(StateStoreRules, ReplacementWritesFlushesMovesClosesThenFlushesTheFolder) {
  ASSERT_TRUE(store.replace_file("ledger.json", "new content").has_value());
  const std::string folder = files.state_folder();
  EXPECT_EQ(files.calls, (std::vector<std::string>{"make_folder " + folder, "is_folder " + folder,
                                                   "create_file " + temporary, "write", "flush",
                                                   "rename_over " + temporary + " -> " + target,
                                                   "close", "flush_folder " + folder}));
  EXPECT_EQ(files.file(target), "new content");
  EXPECT_EQ(files.file_names(), std::vector<std::string>{target});
  EXPECT_EQ(files.open_handle_count(), 0u);
}

TEST_P(StateStoreRules, PartialWritesContinueAndAWriteOfNothingFails) {
  files.write_limit = 3;
  ASSERT_TRUE(store.replace_file("ledger.json", "0123456789").has_value());
  EXPECT_EQ(files.calls_of("write").size(), 4u);
  EXPECT_EQ(files.file(target), "0123456789");

  files.put_file(target, "old");
  files.write_limit = 0;
  EXPECT_EQ(store.replace_file("ledger.json", "abc").error(),
            StateFailure{"failed to write whole buffer"});
  expect_target_untouched_and_closed();
  expect_failed_temporary_handled();
}

TEST_P(StateStoreRules, EmptyContentGivesAnEmptyFileWithoutWrites) {
  ASSERT_TRUE(store.replace_file("ledger.json", "").has_value());
  EXPECT_TRUE(files.calls_of("write").empty());
  EXPECT_EQ(files.file(target), "");
}

class StateStoreStepFailure : public ::testing::TestWithParam<std::tuple<Flavour, const char*>> {};

TEST_P(StateStoreStepFailure, IsThatErrorOnceAndLeavesTheTargetAlone) {
  const auto [flavour, step] = GetParam();
  FakeStateFiles files(flavour);
  StateStore& store = files.store();
  files.put_file(files.path("ledger.json"), "old");
  files.fail(step, 1117, -1);
  EXPECT_EQ(store.replace_file("ledger.json", "new").error(), StateFailure{os_error_text(1117)});
  EXPECT_EQ(files.calls_of(step).size(), 1u);  // no retry
  EXPECT_EQ(files.file(files.path("ledger.json")), "old");
  EXPECT_EQ(files.open_handle_count(), 0u);
  EXPECT_EQ(files.file(files.path(".ledger.json.4242.tmp")).has_value(),
            flavour == Flavour::windows && std::string_view(step) != "create_file");
}

INSTANTIATE_TEST_SUITE_P(Steps, StateStoreStepFailure,
                         ::testing::Combine(::testing::Values(Flavour::windows, Flavour::posix),
                                            ::testing::Values("create_file", "write", "flush",
                                                              "rename_over")));

TEST_P(StateStoreRules, MoveOntoAFolderFailsAndKeepsTheFolder) {
  files.folders.insert(files.path("ledger.json.d"));
  EXPECT_EQ(store.replace_file("ledger.json.d", "new").error(),
            StateFailure{os_error_text(files.is_a_folder_code())});
  EXPECT_TRUE(files.folders.contains(files.path("ledger.json.d")));
  EXPECT_EQ(files.file(files.path(".ledger.json.d.4242.tmp")).has_value(), windows());
  EXPECT_EQ(files.open_handle_count(), 0u);
}

// The new bytes are in place; only whether they survive a crash is unknown, and that is
// reported.
TEST_P(StateStoreRules, FailedFolderFlushIsReportedOverTheNewBytes) {
  files.fail("flush_folder", 5);
  EXPECT_EQ(store.replace_file("ledger.json", "new").error(), StateFailure{os_error_text(5)});
  EXPECT_EQ(files.file(target), "new");
}

TEST_P(StateStoreRules, LeftoverTemporaryOfThisPidIsReplaced) {
  files.put_file(temporary, "left by a crash");
  ASSERT_TRUE(store.replace_file("ledger.json", "new").has_value());
  EXPECT_EQ(files.file(target), "new");
  EXPECT_EQ(files.file_names(), std::vector<std::string>{target});
  // Windows truncates it in place; POSIX never opens what is there, and removes it first.
  EXPECT_EQ(files.calls_of("remove").size(), windows() ? 0u : 1u);
}

TEST_P(StateStoreRules, FolderGoneSinceTheMessageBeganIsMadeAgain) {
  files.folders.erase(files.state_folder());
  files.folders.erase(files.base_folder.value());
  ASSERT_TRUE(store.replace_file("status.json", "s").has_value());
  EXPECT_EQ(files.file(files.path("status.json")), "s");
}

TEST_P(StateStoreRules, FolderThatCannotBeMadeIsTheError) {
  files.folders.erase(files.state_folder());
  files.fail("make_folder", 5, -1);
  EXPECT_EQ(store.replace_file("ledger.json", "x").error(), StateFailure{os_error_text(5)});
  EXPECT_TRUE(files.calls_of("create_file").empty());
}

TEST_P(StateStoreRules, MissingFileIsNothingAndAFolderInItsPlaceIsUnreadable) {
  EXPECT_EQ(store.read_file("bridge-status.json").value(), std::nullopt);
  EXPECT_EQ(store.read_file("ledger.json").value(), "old");
  files.folders.insert(files.path("ledger.json.d"));
  EXPECT_EQ(store.read_file("ledger.json.d").error(),
            StateFailure{os_error_text(files.is_a_folder_code())});
}

TEST_P(StateStoreRules, FolderTreeIsMadeWithEveryMissingAncestor) {
  FakeStateFiles fresh(GetParam());
  const std::string deep = join_path(fresh.path_syntax(), *fresh.base_folder, "a");
  fresh.base_folder = join_path(fresh.path_syntax(), deep, "b");
  StateStore made(fresh);
  ASSERT_TRUE(made.make_folder().has_value());
  EXPECT_EQ(made.folder(), fresh.state_folder());
  EXPECT_TRUE(fresh.folders.contains(deep));
  EXPECT_TRUE(fresh.folders.contains(fresh.state_folder()));
  EXPECT_TRUE(made.make_folder().has_value());  // an existing folder is fine
}

TEST_P(StateStoreRules, FileWhereAFolderShouldBeIsTheFailure) {
  FakeStateFiles fresh(GetParam());
  fresh.put_file(fresh.state_folder(), "");
  EXPECT_EQ(StateStore(fresh).make_folder().error(),
            StateFailure{os_error_text(fresh.exists_code())});
}

TEST_P(StateStoreRules, FolderOfAnotherUserIsRefusedAndALooseOneIsTightened) {
  FakeStateFiles fresh(GetParam());
  fresh.folders.insert(fresh.state_folder());
  fresh.loose_folders.insert(fresh.state_folder());
  ASSERT_TRUE(StateStore(fresh).make_folder().has_value());
  EXPECT_TRUE(fresh.loose_folders.empty());

  fresh.foreign_folders.insert(fresh.state_folder());
  EXPECT_EQ(StateStore(fresh).make_folder().error(),
            StateFailure{fresh.state_folder() + " belongs to another user"});
}

TEST_P(StateStoreRules, LockIsHeldElsewhereOnlyForContention) {
  auto lock_file = store.open_lock_file();
  ASSERT_TRUE(lock_file.has_value());
  files.fail("try_lock", files.contended_code());
  EXPECT_EQ(lock_file->try_lock(), false);
  EXPECT_EQ(lock_file->try_lock(), true);
  files.fail("try_lock", 22);
  EXPECT_EQ(lock_file->try_lock().error(), StateFailure{os_error_text(22)});
}

INSTANTIATE_TEST_SUITE_P(Flavours, StateStoreRules,
                         ::testing::Values(Flavour::windows, Flavour::posix), [](const auto& info) {
                           return info.param == Flavour::windows ? "Windows" : "Posix";
                         });

}  // namespace
}  // namespace vantrel
