#include "doctor/registration.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "fake_doctor_system.hpp"

namespace vantrel {
namespace {

using fakes::FakeDoctorSystem;
using ::testing::HasSubstr;

constexpr std::string_view ORIGIN = "chrome-extension://ondflflfbmjblmgagbkicebfakiegiai/";
const std::string USER_CHROME =
    "/home/ada/.config/google-chrome/NativeMessagingHosts/com.vantrel.print.json";
const std::string SYSTEM_CHROME = "/etc/opt/chrome/native-messaging-hosts/com.vantrel.print.json";

// As install/manifest.template.json renders it.
std::string manifest(std::string_view path, std::string_view list = R"("allowed_origins": [")" +
                                                                    std::string(ORIGIN) + "\"]") {
  return R"({"name": "com.vantrel.print", "description": "Vantrel Print Host", "path": ")" +
         std::string(path) + R"(", "type": "stdio", )" + std::string(list) + "}";
}

BrowserLookup lookup_of(DoctorSystem& system, std::string_view browser) {
  for (BrowserLookup& lookup : browser_lookups(system)) {
    if (lookup.browser == browser) return lookup;
  }
  throw std::logic_error("no such browser");
}

const std::string USER_FIREFOX = "/home/ada/.mozilla/native-messaging-hosts/com.vantrel.print.json";
const std::string FIREFOX_LIST = R"("allowed_extensions": ["p@v.example"])";

struct ManifestRow {
  std::string browser;  // "Chrome" or "Firefox", its manifest in the user's folder
  std::string text;
  std::string found;  // in the detail; "" for a manifest the browser accepts
};

class DoctorLinuxManifest : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(DoctorLinuxManifest, IsReadAsTheBrowserReadsIt) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files[GetParam().browser == "Firefox" ? USER_FIREFOX : USER_CHROME] = GetParam().text;
  const RegistrationFinding finding =
      check_registration(system, lookup_of(system, GetParam().browser));
  EXPECT_EQ(finding.check.ok, GetParam().found.empty()) << finding.check.detail;
  EXPECT_THAT(finding.check.detail, HasSubstr(GetParam().found));
  if (!finding.check.ok) {
    EXPECT_THAT(finding.check.advice, HasSubstr("install-user.sh"));  // a user's folder
  }
}

// The browsers' verdicts, as tests/linux/test_browser_registrations.py finds them in Debian's
// Chromium and firefox-esr.
INSTANTIATE_TEST_SUITE_P(
    Rows, DoctorLinuxManifest,
    ::testing::Values(
        ManifestRow{"Chrome", "\xEF\xBB\xBF" + manifest("/opt/host"), ""},
        ManifestRow{"Chrome", "{\n// by hand\n" + manifest("/opt/host").substr(1), ""},
        ManifestRow{
            "Chrome",
            manifest("/opt/host", R"("allowed_origins": ["chrome-extension://x/", )"
                                  R"("chrome-extension://ONDFLFLFBMJBLMGAGBKICEBFAKIEGIAI/*"])"),
            ""},
        ManifestRow{
            "Chrome",
            manifest(
                "/opt/host",
                R"("allowed_origins": ["chrome-extension://ondflflfbmjblmgagbkicebfakiegiai"])"),
            "holds \"chrome-extension://ondflflfbmjblmgagbkicebfakiegiai\", which is not an "
            "origin Chromium can read (chrome-extension://<id>/, no wildcard), and one malformed "
            "entry makes the browser reject the whole manifest"},
        ManifestRow{"Chrome",
                    manifest("/opt/host", R"("allowed_origins": ["chrome-extension://*/"])"),
                    "holds \"chrome-extension://*/\""},
        ManifestRow{"Chrome", manifest("/opt/host", R"("allowed_origins": [])"), "is empty"},
        ManifestRow{"Chrome", manifest("/opt/host", FIREFOX_LIST),
                    "has no \"allowed_origins\" (it is Firefox's form)"},
        ManifestRow{"Chrome", manifest("host"),
                    "\"path\" \"host\" is relative; on Linux it must be absolute"},
        ManifestRow{"Chrome",
                    R"({"name": "com.other", "description": "x", "path": "/h", "type": "stdio"})",
                    "\"name\" is \"com.other\", not com.vantrel.print"},
        ManifestRow{
            "Chrome",
            R"({"name": "com.vantrel.print", "description": "x", "path": "/h", "type": "socket"})",
            "\"type\" is \"socket\", not \"stdio\""},
        ManifestRow{"Chrome", R"({"name": "com.vantrel.print", "path": "/h", "type": "stdio"})",
                    "has no \"description\""},
        ManifestRow{"Chrome", R"({"name": 7})", "\"name\" is not text"},
        ManifestRow{"Chrome", manifest("/opt/host") + ",", "is not valid JSON"},
        ManifestRow{"Firefox", manifest("/opt/host", FIREFOX_LIST), ""},
        ManifestRow{"Firefox",
                    manifest("/opt/host",
                             R"("allowed_extensions": ["{12345678-abcd-ABCD-1234-123456789abc}"])"),
                    ""},
        ManifestRow{
            "Firefox",
            manifest("/opt/host", R"("allowed_extensions": ["p@v.example", "a+b@example.com"])"),
            "holds \"a+b@example.com\", which is not a Firefox id"},
        ManifestRow{"Firefox", manifest("/opt/host", FIREFOX_LIST + R"(, "comment": "")"),
                    "has the member \"comment\", which Firefox does not know"},
        ManifestRow{"Firefox", manifest("/opt/host", FIREFOX_LIST + R"(, "allowed_origins": [])"),
                    "has the member \"allowed_origins\""},
        ManifestRow{"Firefox", "{\n// by hand\n" + manifest("/opt/host", FIREFOX_LIST).substr(1),
                    "is not valid JSON"}));

TEST(DoctorRegistration, AnExtensionIsTakenByTheRuleOfItsBrowser) {
  const auto chromium = read_extension_id("ONDFLFLFBMJBLMGAGBKICEBFAKIEGIAI");
  ASSERT_TRUE(chromium);
  EXPECT_EQ(chromium->shown(), ORIGIN);  // a bare id is a Chromium id only
  EXPECT_EQ(read_extension_id(ORIGIN)->id, chromium->id);
  EXPECT_EQ(read_extension_id("{12345678-1234-1234-1234-123456789abc}")->form,
            ManifestForm::firefox);
  EXPECT_THAT(read_extension_id("a+b@example.com").error(), HasSubstr("no \"+\""));
  EXPECT_FALSE(read_extension_id("chrome-extension://ondflflfbmjblmgagbkicebfakiegiaq/"));
}

TEST(DoctorRegistration, ChromeUsesTheUsersManifestEvenWhenBrokenAndSaysWhichToRemove) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files[USER_CHROME] = manifest("host");
  system.files[SYSTEM_CHROME] = manifest("/usr/lib/vantrel-print-host/vantrel-print-host");
  const RegistrationFinding finding = check_registration(system, lookup_of(system, "Chrome"));
  EXPECT_FALSE(finding.check.ok);
  EXPECT_EQ(finding.check.advice, "remove the stray registration " + USER_CHROME +
                                      " (Chrome would then use " + SYSTEM_CHROME + ")");
  EXPECT_THAT(finding.check.notes, ::testing::ElementsAre("also " + SYSTEM_CHROME +
                                                          " (valid), which Chrome does not use"));
}

// A well-formed registration for another extension is what a user sees as "forbidden".
TEST(DoctorRegistration, ARegistrationThatDoesNotAllowTheUsersExtensionFailsSayingHowToAllowIt) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files[USER_CHROME] = manifest("/opt/host");
  const ExtensionId firefox{ManifestForm::firefox, "p@v.example"};
  const ExtensionId mine{ManifestForm::chromium, "abcdefghijklmnopabcdefghijklmnop"};
  RegistrationFinding finding =
      check_registration(system, lookup_of(system, "Chrome"), {mine, firefox});
  EXPECT_FALSE(finding.check.ok);
  EXPECT_THAT(finding.check.detail, HasSubstr("it does not allow " + mine.shown() + ", so"));
  EXPECT_EQ(finding.check.advice,
            "run ./install-user.sh --allow-origin " + mine.shown() + " again");

  const ExtensionId test{ManifestForm::chromium, "ondflflfbmjblmgagbkicebfakiegiai"};
  RegistrationFinding allowed =
      check_registration(system, lookup_of(system, "Chrome"), {test, firefox});
  EXPECT_TRUE(allowed.check.ok) << allowed.check.detail;
  EXPECT_EQ(allowed.used->arguments, std::vector<std::string>{std::string(ORIGIN)});
}

// Chromium started with --user-data-dir reads the user's manifests there, and nowhere else of
// the user's.
TEST(DoctorRegistration, AChromiumProfileFolderReplacesTheUsersFolder) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files["/home/ada/.config/chromium/NativeMessagingHosts/com.vantrel.print.json"] =
      manifest("/opt/host");
  const std::vector<BrowserLookup> lookups = browser_lookups(system, "/srv/profile");
  const BrowserLookup& chromium = lookups.at(1);
  EXPECT_EQ(chromium.places.front().manifest,
            "/srv/profile/NativeMessagingHosts/com.vantrel.print.json");
  EXPECT_FALSE(check_registration(system, chromium).check.ok);
}

// A program or manifest another user can replace runs their code as this user.
TEST(DoctorRegistration, AFileOrFolderOthersCanWriteFailsTheRegistration) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files[USER_CHROME] = manifest("/tmp/x/host");
  system.access["/tmp"] = FileAccess{01777, false};  // sticky: others cannot replace /tmp/x
  system.access["/tmp/x/host"] = FileAccess{0755, false};
  EXPECT_TRUE(check_registration(system, lookup_of(system, "Chrome")).check.ok);
  for (const auto& [path, access] : {std::pair{"/tmp/x/host", FileAccess{0757, false}},
                                     std::pair{"/tmp/x", FileAccess{0775, false}},
                                     std::pair{"/tmp/x", FileAccess{0755, true}}}) {
    FakeDoctorSystem open = system;
    open.access[path] = access;
    const RegistrationFinding finding = check_registration(open, lookup_of(open, "Chrome"));
    EXPECT_FALSE(finding.check.ok) << path;
    EXPECT_THAT(finding.check.detail,
                HasSubstr(std::string(path) + " can be changed by other users"));
  }
}

TEST(DoctorRegistration,
     FirefoxPassesOverAnInvalidManifestToTheSystemsAndStartsItWithItsArguments) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  const std::string system_manifest =
      "/usr/lib/mozilla/native-messaging-hosts/com.vantrel.print.json";
  system.files[USER_FIREFOX] = manifest("/h");
  system.files[system_manifest] = manifest("/usr/bin/h", FIREFOX_LIST);
  const RegistrationFinding finding = check_registration(system, lookup_of(system, "Firefox"));
  ASSERT_TRUE(finding.used) << finding.check.detail;
  EXPECT_EQ(finding.used->arguments, (std::vector<std::string>{system_manifest, "p@v.example"}));
  EXPECT_THAT(finding.check.notes.at(0),
              HasSubstr("\"allowed_origins\", which Firefox does not know"));

  // And over one that does not allow the extension (a typo in its id).
  system.files[USER_FIREFOX] = manifest("/h", R"("allowed_extensions": ["p@v.exmaple"])");
  const RegistrationFinding typo = check_registration(
      system, lookup_of(system, "Firefox"), {ExtensionId{ManifestForm::firefox, "p@v.example"}});
  EXPECT_TRUE(typo.check.ok) << typo.check.detail;
  EXPECT_EQ(typo.used->manifest, system_manifest);
  EXPECT_THAT(typo.check.notes.at(0), HasSubstr("does not allow p@v.example"));
}

TEST(DoctorRegistration, EdgeTakesTheUsersChromeKeyBeforeTheMachinesOwnAndResolvesARelativePath) {
  FakeDoctorSystem system(BrowserPlatform::windows);
  const std::string folder = R"(C:\Users\ada\AppData\Local\Programs\Vantrel Print Host)";
  system.registry[R"(HKCU\Software\Google\Chrome\NativeMessagingHosts\com.vantrel.print)"] =
      folder + R"(\com.vantrel.print.json)";
  system.registry
      [R"(HKLM\Software\Microsoft\Edge\NativeMessagingHosts\com.vantrel.print (64-bit view))"] =
      R"(C:\Program Files\Vantrel Print Host\com.vantrel.print.json)";
  system.files[folder + R"(\com.vantrel.print.json)"] = manifest("vantrel-print-host.exe");
  const RegistrationFinding finding = check_registration(system, lookup_of(system, "Edge"));
  ASSERT_TRUE(finding.used) << finding.check.detail;
  EXPECT_EQ(finding.used->program, folder + R"(\vantrel-print-host.exe)");
  EXPECT_EQ(finding.used->arguments,
            (std::vector<std::string>{std::string(ORIGIN), "--parent-window=0"}));
  EXPECT_THAT(finding.check.notes.at(0),
              HasSubstr("(64-bit view) -> C:\\Program Files\\Vantrel Print "
                        "Host\\com.vantrel.print.json (does not exist)"));

  const RegistrationFinding firefox = check_registration(system, lookup_of(system, "Firefox"));
  EXPECT_EQ(
      firefox.check.detail,
      R"(not registered (no key Software\Mozilla\NativeMessagingHosts\com.vantrel.print under HKCU or HKLM))");
  EXPECT_THAT(firefox.check.advice, HasSubstr("msiexec /i vantrel-print-host-per-user.msi"));
}

}  // namespace
}  // namespace vantrel
