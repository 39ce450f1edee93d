#include "domain/state/host_log.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;

TEST(HostLogLine, TimePidEventAndFieldsQuotedOnlyWhenNeededAndCut) {
  EXPECT_EQ(utc_time_text(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(utc_time_text(1'709'251'199'999), "2024-02-29T23:59:59.999Z");
  const std::string long_queue(200, 'q');
  EXPECT_EQ(format_log_line(1'765'121'124'123, 4242, "message",
                            {{"type", "submit"},
                             {"request_id", "s-1:a_b.c"},
                             {"queue", "Label \"4x6\"\n"},
                             {"caller", "chrome-extension://abc/"},
                             {"empty", ""},
                             {"long", long_queue}}),
            "2025-12-07T15:25:24.123Z 4242 message type=submit request_id=s-1:a_b.c "
            "queue=\"Label \\\"4x6\\\"\\n\" caller=chrome-extension://abc/ empty=\"\" long=" +
                std::string(160, 'q') + "...");
  // Pasted into a shell, a quoted value runs nothing.
  EXPECT_EQ(format_log_line(0, 1, "message", {{"request_id", "$(touch x)`id`!!"}}),
            "1970-01-01T00:00:00.000Z 1 message request_id=\"\\u0024(touch x)\\u0060id\\u0060"
            "\\u0021\\u0021\"");
  // "a" and 100 two-byte characters: the cut falls before the character that would split.
  std::string accented = "a";
  for (int i = 0; i < 100; ++i) accented += "\xC3\xA9";
  const std::string line = format_log_line(0, 1, "message", {{"request_id", accented}});
  EXPECT_EQ(line.substr(line.find('=') + 1), "\"" + accented.substr(0, 159) + "\"...");
}

class HostLogFile : public ::testing::Test {
 protected:
  FakeStateFiles files;
  HostLog log{files};
  std::string path(std::string_view name) const {
    return join_path(files.path_syntax(),
                     join_path(files.path_syntax(), files.state_folder(), "logs"), name);
  }
};

TEST_F(HostLogFile, RotatesAtOneMebibyteKeepingTwoOldFiles) {
  // About 200 bytes a line: three rotations.
  const std::string filler(150, 'x');
  for (int i = 0; i < 17'000; ++i) log.append("message", {{"n", std::to_string(i)}, {"f", filler}});
  const auto current = files.file(path("host.log"));
  const auto first = files.file(path("host.log.1"));
  const auto second = files.file(path("host.log.2"));
  ASSERT_TRUE(current && first && second);
  EXPECT_FALSE(files.file(path("host.log.3")).has_value());
  for (const auto& file : {*first, *second}) {
    EXPECT_GE(file.size(), LOG_ROTATE_BYTES);
    EXPECT_LT(file.size(), LOG_ROTATE_BYTES + 250);  // rotated at the first line past the bound
  }
  EXPECT_NE(current->find(" n=16999 "), std::string::npos);
  EXPECT_EQ(second->find(" n=0 "), std::string::npos);  // the oldest lines are gone
}

TEST_F(HostLogFile, ARotationHeldElsewhereLeavesTheLineInTheCurrentFile) {
  files.put_file(path("host.log"), std::string(LOG_ROTATE_BYTES, 'x'));
  files.fail("try_lock", files.contended_code());
  log.append("message", {{"n", "1"}});
  EXPECT_FALSE(files.file(path("host.log.1")).has_value());
  EXPECT_TRUE(files.file(path("host.log"))->ends_with(" message n=1\n"));
}

TEST_F(HostLogFile, ALogThatCannotBeWrittenCostsOnlyTheLine) {
  files.fail("open_for_append", files.is_a_folder_code(), -1);
  log.append("message", {{"n", "1"}});
  files.fail("make_folder", 13, -1);
  HostLog elsewhere(files);
  elsewhere.append("message", {{"n", "2"}});
  EXPECT_EQ(files.open_handle_count(), 0u);
  EXPECT_FALSE(files.file(path("host.log")).has_value());
}

// Whatever stands at logs/ or host.log, however the disk refuses: the log holds whole lines
// only, within its bound, leaves nothing open, and the message goes on.
struct HostileLog {
  const char* name;
  std::function<void(FakeStateFiles&, const std::string& folder, const std::string& log)> arrange;
  std::size_t lines_kept;  // of the four appended
};

void PrintTo(const HostileLog& row, std::ostream* out) {
  *out << row.name;
}

class HostLogHostileFiles : public HostLogFile, public ::testing::WithParamInterface<HostileLog> {};

const std::string A_LINE = "2023-11-14T22:13:20.000Z 4242 message n=0\n";

TEST_P(HostLogHostileFiles, KeepsWholeLinesWithinTheBound) {
  files.folders.insert(files.state_folder());
  const std::string folder = join_path(files.path_syntax(), files.state_folder(), "logs");
  GetParam().arrange(files, folder, path("host.log"));
  const std::string before = files.file(path("host.log")).value_or("");
  for (int n = 1; n <= 3; ++n) log.append("message", {{"n", std::to_string(n)}});
  files.disk_room = UINT64_MAX;  // room again
  log.append("message", {{"n", "4"}});

  EXPECT_EQ(files.open_handle_count(), 0u);
  const std::string text = files.file(path("host.log")).value_or("");
  EXPECT_LE(text.size(), LOG_FILE_LIMIT_BYTES);
  ASSERT_TRUE(text.starts_with(before));
  std::size_t kept = 0;
  for (std::string_view rest = std::string_view(text).substr(before.size()); !rest.empty();) {
    const std::size_t end = rest.find('\n');
    ASSERT_NE(end, std::string_view::npos) << "a torn line ends the log";
    EXPECT_TRUE(rest.starts_with("2023-11-14T22:13:20.000Z 4242 message n=")) << rest;
    ++kept;
    rest.remove_prefix(end + 1);
  }
  EXPECT_EQ(kept, GetParam().lines_kept);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostLogHostileFiles,
    ::testing::Values(
        HostileLog{"LogIsALinkOrFifo",
                   [](FakeStateFiles& files, const std::string& folder, const std::string& log) {
                     files.folders.insert(folder);
                     files.not_regular.insert(log);
                   },
                   0},
        HostileLog{"FolderIsALink",
                   [](FakeStateFiles& files, const std::string& folder, const std::string&) {
                     files.folders.insert(folder);
                     files.not_regular.insert(folder);
                   },
                   0},
        HostileLog{"LogIsAFolder",
                   [](FakeStateFiles& files, const std::string& folder, const std::string& log) {
                     files.folders.insert(folder);
                     files.folders.insert(log);
                   },
                   0},
        HostileLog{"RotationLockIsALink",
                   [](FakeStateFiles& files, const std::string& folder, const std::string& log) {
                     files.folders.insert(folder);
                     files.put_file(log, std::string(LOG_ROTATE_BYTES, '\n'));
                     files.not_regular.insert(folder + "/rotate.lock");
                   },
                   4},
        // Read-only: nothing can be rotated, so lines stop at the bound.
        HostileLog{"FolderCannotRotate",
                   [](FakeStateFiles& files, const std::string& folder, const std::string& log) {
                     files.folders.insert(folder);
                     std::string full;
                     while (full.size() + 2 * A_LINE.size() <= LOG_FILE_LIMIT_BYTES) full += A_LINE;
                     files.put_file(log, full);
                     files.fail("rename_over", 13, -1);
                   },
                   1},
        // A full disk or a file-size limit: the second line is cut short, the third finds no
        // room; neither leaves part of itself for the fourth to continue.
        HostileLog{"DiskFullOrSizeLimit",
                   [](FakeStateFiles& files, const std::string& folder, const std::string&) {
                     files.folders.insert(folder);
                     files.disk_room = A_LINE.size() + 10;
                   },
                   2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
