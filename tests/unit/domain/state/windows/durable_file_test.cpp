#include "domain/state/windows/durable_file.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "domain/state/windows/windows_path.hpp"
#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using testing::FakeStateFiles;

struct SplitCase {
  std::u16string path;
  std::optional<PathParts> parts;
};

class SplitPath : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPath, SplitsOffTheLastComponent) {
  const auto parts = split_path(GetParam().path);
  ASSERT_EQ(parts.has_value(), GetParam().parts.has_value());
  if (!parts) return;
  EXPECT_EQ(parts->parent, GetParam().parts->parent);
  EXPECT_EQ(parts->file_name, GetParam().parts->file_name);
}

INSTANTIATE_TEST_SUITE_P(
    WindowsPaths, SplitPath,
    ::testing::Values(SplitCase{u"C:\\a\\b.json", PathParts{u"C:\\a", u"b.json"}},
                      SplitCase{u"C:\\b.json", PathParts{u"C:\\", u"b.json"}},
                      SplitCase{u"C:/a//b/", PathParts{u"C:/a", u"b"}},
                      SplitCase{u"C:\\a\\..", PathParts{u"C:\\a", u""}},
                      SplitCase{u"b.json", PathParts{u"", u"b.json"}},
                      SplitCase{u"C:b.json", PathParts{u"C:", u"b.json"}},
                      SplitCase{u"\\\\server\\share\\f", PathParts{u"\\\\server\\share\\", u"f"}},
                      SplitCase{u"\\\\?\\C:\\f", PathParts{u"\\\\?\\C:\\", u"f"}},
                      SplitCase{u"\\\\?\\UNC\\server\\share\\f",
                                PathParts{u"\\\\?\\UNC\\server\\share\\", u"f"}},
                      SplitCase{u"", std::nullopt}, SplitCase{u"C:", std::nullopt},
                      SplitCase{u"C:\\", std::nullopt}, SplitCase{u"\\", std::nullopt},
                      SplitCase{u"\\\\server\\share", std::nullopt},
                      SplitCase{u"\\\\?\\C:\\", std::nullopt}));

TEST(JoinPath, PutsOneBackslashBetween) {
  EXPECT_EQ(join_path(u"C:\\a", u"b"), u"C:\\a\\b");
  EXPECT_EQ(join_path(u"C:\\", u"b"), u"C:\\b");
  EXPECT_EQ(join_path(u"C:", u"b"), u"C:b");
  EXPECT_EQ(join_path(u"", u"b"), u"b");
}

class DurableFile : public ::testing::Test {
 protected:
  FakeStateFiles files;
  const std::u16string folder{FakeStateFiles::STATE_FOLDER};
  const std::u16string target = folder + u"\\ledger.json";
  const std::string temp =
      "C:\\Users\\tester\\AppData\\Local\\com.vantrel.print\\.ledger.json.4242.tmp";

  void SetUp() override {
    files.folders.insert(folder);
    files.put_file(target, "old");
  }

  void expect_target_untouched_and_closed() {
    EXPECT_EQ(files.file(target), "old");
    EXPECT_EQ(files.open_handle_count(), 0u);
  }
};

TEST_F(DurableFile, WritesFlushesAndMovesTheOpenTemporaryThenCloses) {
  ASSERT_TRUE(write_file_durably(files, target, "new content").has_value());
  const std::string target_utf8 = utf16_to_utf8(target);
  EXPECT_EQ(files.calls, (std::vector<std::string>{
                             "create_directory " + utf16_to_utf8(folder),
                             "is_directory " + utf16_to_utf8(folder),
                             "create_file_for_writing " + temp, "write_file", "flush_file",
                             "replace_file " + temp + " -> " + target_utf8, "close_file"}));
  EXPECT_EQ(files.file(target), "new content");
  EXPECT_EQ(files.file_names(), std::vector<std::u16string>{target});
  EXPECT_EQ(files.open_handle_count(), 0u);
}

TEST_F(DurableFile, PartialWritesContinueUntilEverythingIsWritten) {
  files.write_limit = 3;
  ASSERT_TRUE(write_file_durably(files, target, "0123456789").has_value());
  EXPECT_EQ(files.calls_of("write_file").size(), 4u);
  EXPECT_EQ(files.file(target), "0123456789");
}

TEST_F(DurableFile, ZeroByteWriteFailsToWriteWholeBuffer) {
  files.write_limit = 0;
  const auto written = write_file_durably(files, target, "abc");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), (DurableWriteError{std::nullopt, "failed to write whole buffer"}));
  EXPECT_EQ(written.error().message(), "failed to write whole buffer");
  EXPECT_TRUE(files.calls_of("flush_file").empty());
  expect_target_untouched_and_closed();
}

TEST_F(DurableFile, EmptyContentGivesAnEmptyFileWithoutWrites) {
  ASSERT_TRUE(write_file_durably(files, target, "").has_value());
  EXPECT_TRUE(files.calls_of("write_file").empty());
  EXPECT_EQ(files.file(target), "");
}

class DurableFileStepFailure : public DurableFile,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(DurableFileStepFailure, ReturnsThatOsErrorOnceAndLeavesTheTargetAlone) {
  const std::string step = GetParam();
  files.fail(step, 1117, -1);
  const auto written = write_file_durably(files, target, "new");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), (DurableWriteError{1117u, ""}));
  EXPECT_EQ(written.error().message(), os_error_text(1117));
  EXPECT_EQ(files.calls_of(step).size(), 1u);  // no retry
  expect_target_untouched_and_closed();
}

INSTANTIATE_TEST_SUITE_P(Steps, DurableFileStepFailure,
                         ::testing::Values("create_file_for_writing", "write_file", "flush_file",
                                           "replace_file"));

TEST_F(DurableFile, FolderThatCannotBeCreatedIsTheError) {
  files.fail("create_directory", 5, -1);
  const auto written = write_file_durably(files, folder + u"\\missing\\f.json", "x");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), (DurableWriteError{5u, ""}));
  EXPECT_TRUE(files.calls_of("create_file").empty());
}

TEST_F(DurableFile, MoveOntoAFolderFailsAndKeepsBothAndTheTemporary) {
  const std::u16string folder_target = folder + u"\\ledger.json.d";
  files.folders.insert(folder_target);
  const auto written = write_file_durably(files, folder_target, "new");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().os_code, 5u);
  EXPECT_TRUE(files.folders.contains(folder_target));
  EXPECT_EQ(files.file(folder + u"\\.ledger.json.d.4242.tmp"), "new");
  EXPECT_EQ(files.open_handle_count(), 0u);
}

TEST_F(DurableFile, SecondReplacementReusesTheTemporaryName) {
  files.fail("replace_file", 5);
  ASSERT_FALSE(write_file_durably(files, target, "first attempt").has_value());
  ASSERT_TRUE(write_file_durably(files, target, "second").has_value());
  EXPECT_EQ(files.file(target), "second");
  EXPECT_EQ(files.calls_of("create_file_for_writing"),
            (std::vector<std::string>(2, "create_file_for_writing " + temp)));
}

TEST_F(DurableFile, PathWithoutParentFailsBeforeAnyCall) {
  for (const std::u16string path : {u"", u"C:\\"}) {
    const auto written = write_file_durably(files, path, "x");
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), (DurableWriteError{std::nullopt, "path has no parent"}));
  }
  EXPECT_TRUE(files.calls.empty());
}

TEST_F(DurableFile, CreatesMissingFoldersAndNamesTheTemporaryWithThePid) {
  files.process_id = 7;
  const std::u16string deep = folder + u"\\a\\b\\status.json";
  ASSERT_TRUE(write_file_durably(files, deep, "s").has_value());
  EXPECT_TRUE(files.folders.contains(folder + u"\\a\\b"));
  EXPECT_EQ(files.file(deep), "s");
  EXPECT_EQ(files.calls_of("create_file_for_writing"),
            std::vector<std::string>{"create_file_for_writing " + utf16_to_utf8(folder) +
                                     "\\a\\b\\.status.json.7.tmp"});
}

TEST_F(DurableFile, LoneSurrogateInTheNameBecomesReplacementCharacterInTheTemporary) {
  const std::u16string odd = folder + u"\\x\xD800y";
  ASSERT_TRUE(write_file_durably(files, odd, "s").has_value());
  EXPECT_EQ(files.calls_of("create_file_for_writing"),
            std::vector<std::string>{"create_file_for_writing " + utf16_to_utf8(folder) +
                                     "\\.x\xEF\xBF\xBDy.4242.tmp"});
}

TEST_F(DurableFile, FileWhereTheParentShouldBeIsAlreadyExists) {
  files.put_file(folder + u"\\blocked", "");
  const auto written = write_file_durably(files, folder + u"\\blocked\\f.json", "x");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().os_code, 183u);
}

}  // namespace
}  // namespace vantrel
