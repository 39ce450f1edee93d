#include "domain/state/state_path.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vantrel {
namespace {

struct ParentCase {
  PathSyntax syntax;
  std::string path;
  std::optional<std::string> parent;
};

class ParentPath : public ::testing::TestWithParam<ParentCase> {};

TEST_P(ParentPath, TakesOffTheLastComponentButNeverTheRoot) {
  EXPECT_EQ(parent_path(GetParam().syntax, GetParam().path), GetParam().parent);
}

constexpr PathSyntax WIN = PathSyntax::windows;
constexpr PathSyntax POSIX = PathSyntax::posix;

INSTANTIATE_TEST_SUITE_P(
    Paths, ParentPath,
    ::testing::Values(ParentCase{WIN, "C:\\a\\b.json", "C:\\a"},
                      ParentCase{WIN, "C:\\b.json", "C:\\"}, ParentCase{WIN, "C:/a//b/", "C:/a"},
                      ParentCase{WIN, "b.json", ""}, ParentCase{WIN, "C:b.json", "C:"},
                      ParentCase{WIN, "\\\\server\\share\\f", "\\\\server\\share\\"},
                      ParentCase{WIN, "\\\\?\\C:\\f", "\\\\?\\C:\\"},
                      ParentCase{WIN, "\\\\?\\UNC\\server\\share\\f",
                                 "\\\\?\\UNC\\server\\share\\"},
                      ParentCase{WIN, "", std::nullopt}, ParentCase{WIN, "C:", std::nullopt},
                      ParentCase{WIN, "C:\\", std::nullopt}, ParentCase{WIN, "\\", std::nullopt},
                      ParentCase{WIN, "\\\\server\\share", std::nullopt},
                      ParentCase{WIN, "\\\\?\\C:\\", std::nullopt},
                      ParentCase{POSIX, "/home/u/state", "/home/u"},
                      ParentCase{POSIX, "/home//u//", "/home"}, ParentCase{POSIX, "/home", "/"},
                      ParentCase{POSIX, "state", ""}, ParentCase{POSIX, "/", std::nullopt},
                      ParentCase{POSIX, "", std::nullopt},
                      // A backslash is part of a POSIX name.
                      ParentCase{POSIX, "/a\\b", "/"}));

TEST(JoinPath, PutsOneSeparatorOfTheSyntaxBetween) {
  EXPECT_EQ(join_path(WIN, "C:\\a", "b"), "C:\\a\\b");
  EXPECT_EQ(join_path(WIN, "C:\\", "b"), "C:\\b");
  EXPECT_EQ(join_path(WIN, "C:", "b"), "C:b");
  EXPECT_EQ(join_path(WIN, "", "b"), "b");
  EXPECT_EQ(join_path(POSIX, "/a", "b"), "/a/b");
  EXPECT_EQ(join_path(POSIX, "/", "b"), "/b");
}

struct LocationCase {
  std::optional<std::string_view> xdg_state_home;
  std::optional<std::string_view> home;
  std::optional<std::string> folder;
};

class PosixStateFolder : public ::testing::TestWithParam<LocationCase> {};

TEST_P(PosixStateFolder, FollowsAnAbsoluteXdgStateHomeThenAnAbsoluteHome) {
  EXPECT_EQ(posix_state_folder(GetParam().xdg_state_home, GetParam().home), GetParam().folder);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, PosixStateFolder,
    ::testing::Values(LocationCase{"/x/state/", "/home/u", "/x/state/com.vantrel.print"},
                      LocationCase{"state", "/home/u", "/home/u/.local/state/com.vantrel.print"},
                      LocationCase{std::nullopt, "/home/u/",
                                   "/home/u/.local/state/com.vantrel.print"},
                      LocationCase{"state", std::nullopt, std::nullopt},
                      LocationCase{std::nullopt, "home/u", std::nullopt}));

}  // namespace
}  // namespace vantrel
