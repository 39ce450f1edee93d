// The Linux files of the state on the real file system: what only the system itself can show
// (modes, owners, open-file-description locks, links never followed). The rules above them are
// tested over the in-memory files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "domain/state/state_files.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::perms mode_of(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

class PosixStateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "posix-state-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    const char* previous = std::getenv("XDG_STATE_HOME");
    if (previous != nullptr) saved_state_home = previous;
    setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    folder = root / "state" / "com.vantrel.print";
  }
  void TearDown() override {
    if (saved_state_home) {
      setenv("XDG_STATE_HOME", saved_state_home->c_str(), 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    fs::remove_all(root);
  }

  StateFiles& files = system_state_files();
  fs::path root;
  fs::path folder;
  std::optional<std::string> saved_state_home;
};

TEST_F(PosixStateFiles, StateFolderIsMadeOwnerOnlyAndALooseOneIsTightened) {
  StateStore store(files);
  ASSERT_TRUE(store.make_folder().has_value());
  EXPECT_EQ(store.folder(), folder.string());
  for (const fs::path& made : {root / "state", folder}) {
    EXPECT_EQ(mode_of(made), fs::perms::owner_all) << made;
  }
  fs::permissions(folder, fs::perms::all);
  ASSERT_TRUE(store.make_folder().has_value());
  EXPECT_EQ(mode_of(folder), fs::perms::owner_all);
}

TEST_F(PosixStateFiles, FolderOfAnotherUserIsForeign) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  fs::create_directories(folder);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(files.keep_private(folder.string()).error().kind, FileErrorKind::foreign);
  EXPECT_FALSE(StateStore(files).make_folder().has_value());
}

// Open-file-description locks contend between two opens of one process, and closing another
// descriptor of the file does not drop them (as it would a POSIX record lock).
TEST_F(PosixStateFiles, TwoOpensInOneProcessContendUntilTheHolderCloses) {
  StateStore store(files);
  ASSERT_TRUE(store.make_folder().has_value());
  std::optional<StateLockFile> holder = store.open_lock_file().value();
  ASSERT_EQ(holder->try_lock(), true);

  StateLockFile waiting = store.open_lock_file().value();
  EXPECT_EQ(waiting.try_lock(), false);
  (void)store.open_lock_file();  // opened and closed again
  EXPECT_EQ(waiting.try_lock(), false);

  holder.reset();
  EXPECT_EQ(waiting.try_lock(), true);
}

TEST_F(PosixStateFiles, ReplacementLeavesOnlyTheOwnerOnlyTargetAndNeverFollowsALeftover) {
  StateStore store(files);
  ASSERT_TRUE(store.make_folder().has_value());
  std::ofstream(root / "outside") << "kept";
  fs::create_symlink(root / "outside",
                     folder / (".ledger.json." + std::to_string(getpid()) + ".tmp"));

  ASSERT_TRUE(store.replace_file("ledger.json", "new content").has_value());
  EXPECT_EQ(contents(folder / "ledger.json"), "new content");
  EXPECT_EQ(mode_of(folder / "ledger.json"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(contents(root / "outside"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(PosixStateFiles, LargeFileIsReadWholeAndAFolderIsUnreadable) {
  StateStore store(files);
  ASSERT_TRUE(store.make_folder().has_value());
  std::string large(300'000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
  ASSERT_TRUE(store.replace_file("ledger.json", large).has_value());
  EXPECT_EQ(store.read_file("ledger.json").value(), large);
  EXPECT_EQ(files.read_file((folder / "missing").string()).error().kind, FileErrorKind::not_found);
  EXPECT_EQ(files.read_file(folder.string()).error().kind, FileErrorKind::not_regular);
}

// A link (to a file, to nothing), a FIFO or a folder at a state file: every open refuses it at
// once, never waiting for a FIFO's other end nor creating a link's target; a link to a folder
// is no real folder.
TEST_F(PosixStateFiles, EveryOpenRefusesWhatIsNoRegularFile) {
  fs::create_directories(folder);
  std::ofstream(root / "outside") << "kept";
  fs::create_symlink(root / "outside", folder / "link");
  fs::create_symlink(root / "nowhere", folder / "dangling");
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  fs::create_directory(folder / "folder");
  for (const char* name : {"link", "dangling", "fifo", "folder"}) {
    const std::string path = (folder / name).string();
    EXPECT_EQ(files.open_lock_file(path).error().kind, FileErrorKind::not_regular) << name;
    EXPECT_EQ(files.read_file(path).error().kind, FileErrorKind::not_regular) << name;
    EXPECT_EQ(files.open_for_append(path).error().kind, FileErrorKind::not_regular) << name;
  }
  EXPECT_EQ(contents(root / "outside"), "kept");
  EXPECT_FALSE(fs::exists(root / "nowhere"));
  fs::create_directory_symlink(root, folder / "linked_folder");
  EXPECT_TRUE(files.is_folder((folder / "linked_folder").string()));
  EXPECT_FALSE(files.is_real_folder((folder / "linked_folder").string()));
  EXPECT_TRUE(files.is_real_folder(folder.string()));
}

}  // namespace
}  // namespace vantrel
