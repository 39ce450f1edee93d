#include "domain/state/posix/posix_state_store.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "domain/state/ledger.hpp"
#include "domain/state/state_folder.hpp"
#include "fake_posix_files.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::FaultyPosixFiles;

std::string text_of(int code) {
  return os_error_text(static_cast<std::uint32_t>(code));
}

std::optional<std::string> contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

fs::perms mode_of(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

struct LocationCase {
  std::map<std::string, std::string, std::less<>> environment;
  std::optional<std::string> folder;
};

class PosixStateFolderLocation : public ::testing::TestWithParam<LocationCase> {};

TEST_P(PosixStateFolderLocation, FollowsAbsoluteXdgStateHomeThenHome) {
  FaultyPosixFiles files;
  files.environment = GetParam().environment;
  EXPECT_EQ(posix_state_folder_location(files), GetParam().folder);
  if (!GetParam().folder) {
    PosixStateStore store(files);
    EXPECT_EQ(prepare_state_folder(store).error(),
              (HostError{ErrorCode::STATE_UNAVAILABLE,
                         "Cannot locate the current user's application-data directory."}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Environments, PosixStateFolderLocation,
    ::testing::Values(LocationCase{{{"XDG_STATE_HOME", "/x/state/"}, {"HOME", "/home/u"}},
                                   "/x/state/com.vantrel.print"},
                      LocationCase{{{"XDG_STATE_HOME", "state"}, {"HOME", "/home/u"}},
                                   "/home/u/.local/state/com.vantrel.print"},
                      LocationCase{{{"XDG_STATE_HOME", "state"}}, std::nullopt},
                      LocationCase{{{"HOME", "home/u"}}, std::nullopt}));

// A real temporary folder as XDG_STATE_HOME, the store's folder made in it.
class PosixState : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "posix-state-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    files.environment["XDG_STATE_HOME"] = root.string();
    ASSERT_TRUE(prepare_state_folder(store).has_value());
    folder = root / "com.vantrel.print";
    ledger = folder / "ledger.json";
  }
  void TearDown() override {
    EXPECT_EQ(files.open_descriptor_count(), 0u);
    fs::remove_all(root);
  }

  std::vector<std::string> folder_entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  std::string temporary_name() const { return ".ledger.json." + std::to_string(getpid()) + ".tmp"; }

  fs::path root;
  fs::path folder;
  fs::path ledger;
  FaultyPosixFiles files;
  PosixStateStore store{files};
};

TEST_F(PosixState, MakesMissingAncestorsOwnerOnlyAndAcceptsAnExistingFolder) {
  files.environment["XDG_STATE_HOME"] = (root / "a" / "b").string();
  PosixStateStore deep(files);
  ASSERT_TRUE(prepare_state_folder(deep).has_value());
  EXPECT_EQ(deep.folder(), (root / "a" / "b" / "com.vantrel.print").string());
  for (const fs::path& made : {root / "a", root / "a" / "b", fs::path(deep.folder())}) {
    EXPECT_EQ(mode_of(made), fs::perms::owner_all) << made;
  }
  EXPECT_TRUE(prepare_state_folder(deep).has_value());
}

TEST_F(PosixState, FileAtTheFolderPathIsAFailureWithItsText) {
  fs::remove(folder);
  put(folder, "");
  EXPECT_EQ(prepare_state_folder(store).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot create print-helper state: " + text_of(EEXIST)}));
}

// Open-file-description locks contend between two opens of one process, and closing another
// descriptor of the file does not drop them (as it would a POSIX record lock).
TEST_F(PosixState, TwoOpensInOneProcessContendUntilTheHolderCloses) {
  std::optional<Result<StateLock>> held = acquire_state_lock(store);
  ASSERT_TRUE(held->has_value());

  PosixStateStore other(files);
  ASSERT_TRUE(other.make_folder().has_value());
  auto waiting = other.open_lock_file();
  ASSERT_TRUE(waiting.has_value());
  EXPECT_EQ((*waiting)->try_lock(), false);

  (void)other.open_lock_file();  // opened and closed again
  EXPECT_EQ((*waiting)->try_lock(), false);

  held.reset();
  EXPECT_EQ((*waiting)->try_lock(), true);
}

TEST_F(PosixState, OnlyContentionCodesMeanHeldElsewhere) {
  auto lock_file = store.open_lock_file();
  ASSERT_TRUE(lock_file.has_value());
  files.fail("lock_whole_file", EACCES);
  EXPECT_EQ((*lock_file)->try_lock(), false);

  lock_file->reset();
  files.fail("lock_whole_file", EINVAL);  // a file system without OFD locks
  EXPECT_EQ(acquire_state_lock(store).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot lock print-helper state: " + text_of(EINVAL)}));
}

TEST_F(PosixState, ReplacementFlushesTheFileThenTheFolderAndLeavesOnlyTheTarget) {
  put(ledger, "old");
  files.calls.clear();
  ASSERT_TRUE(store.replace_file("ledger.json", "new content").has_value());
  EXPECT_EQ(contents(ledger), "new content");
  EXPECT_EQ(mode_of(ledger), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(folder_entries(), std::vector<std::string>{"ledger.json"});
  EXPECT_EQ(files.calls,
            (std::vector<std::string>{"open_directory", "create_new_file", "write_file",
                                      "flush_file", "rename_file", "flush_file"}));
}

TEST_F(PosixState, StaleTemporaryOfThisPidIsReplacedNotFollowed) {
  put(root / "outside", "kept");
  fs::create_symlink(root / "outside", folder / temporary_name());
  ASSERT_TRUE(store.replace_file("ledger.json", "new").has_value());
  EXPECT_EQ(contents(ledger), "new");
  EXPECT_EQ(contents(root / "outside"), "kept");
  EXPECT_EQ(folder_entries(), std::vector<std::string>{"ledger.json"});
}

struct StepFault {
  std::string call;
  int code;
};

void PrintTo(const StepFault& fault, std::ostream* out) {
  *out << fault.call;
}

class PosixReplacementFault : public PosixState, public ::testing::WithParamInterface<StepFault> {};

TEST_P(PosixReplacementFault, LeavesTheLedgerAsItWasAndNoTemporary) {
  put(ledger, "old");
  files.fail(GetParam().call, GetParam().code);
  EXPECT_EQ(save_ledger(store, HostLedger{}).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot save print-helper state: " + text_of(GetParam().code)}));
  EXPECT_EQ(contents(ledger), "old");
  EXPECT_EQ(folder_entries(), std::vector<std::string>{"ledger.json"});
}

INSTANTIATE_TEST_SUITE_P(Steps, PosixReplacementFault,
                         ::testing::Values(StepFault{"open_directory", EMFILE},
                                           StepFault{"create_new_file", EACCES},
                                           StepFault{"write_file", ENOSPC},
                                           StepFault{"flush_file", EIO},
                                           StepFault{"rename_file", EXDEV}));

// The rename is done; only whether it survives a crash is unknown, and that is reported.
TEST_F(PosixState, FailedFolderFlushIsReportedOverTheNewBytes) {
  files.fail("flush_file", EIO, 2);
  EXPECT_EQ(store.replace_file("ledger.json", "new").error(), StateFailure{text_of(EIO)});
  EXPECT_EQ(contents(ledger), "new");
}

TEST_F(PosixState, ShortWritesAreResumedAndAWriteOfNothingFails) {
  files.write_limit = 3;
  ASSERT_TRUE(store.replace_file("ledger.json", "written in threes").has_value());
  EXPECT_EQ(contents(ledger), "written in threes");

  files.write_limit = 0;
  EXPECT_EQ(store.replace_file("ledger.json", "new").error(),
            StateFailure{"failed to write whole buffer"});
  EXPECT_EQ(contents(ledger), "written in threes");
  EXPECT_EQ(folder_entries(), std::vector<std::string>{"ledger.json"});
}

TEST_F(PosixState, MissingLedgerIsNewAndAFolderInItsPlaceIsUnreadable) {
  const Result<HostLedger> fresh = load_ledger(store);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_TRUE(fresh->jobs.empty());
  const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  EXPECT_NEAR(static_cast<double>(fresh->updated_at_ms), static_cast<double>(now_ms.count()),
              60'000.0);
  EXPECT_FALSE(fs::exists(ledger));

  fs::create_directory(ledger);
  EXPECT_EQ(load_ledger(store).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot read print-helper state: " + text_of(EISDIR)}));
}

TEST_F(PosixState, LargeFileIsReadWholeThroughManyReads) {
  std::string large(300'000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
  ASSERT_TRUE(store.replace_file("ledger.json", large).has_value());
  EXPECT_EQ(store.read_file("ledger.json"), large);
}

}  // namespace
}  // namespace vantrel
