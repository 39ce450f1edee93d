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

struct ManifestRow {
  std::string text;
  std::string found;  // in the detail; "" for a manifest Chrome accepts
};

class DoctorLinuxManifest : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(DoctorLinuxManifest, IsReadAsChromeReadsIt) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  system.files[USER_CHROME] = GetParam().text;
  const RegistrationFinding finding = check_registration(system, lookup_of(system, "Chrome"));
  EXPECT_EQ(finding.check.ok, GetParam().found.empty()) << finding.check.detail;
  EXPECT_THAT(finding.check.detail, HasSubstr(GetParam().found));
  if (!finding.check.ok) {
    EXPECT_THAT(finding.check.advice, HasSubstr("install-user.sh"));  // a user's folder
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DoctorLinuxManifest,
    ::testing::Values(
        ManifestRow{"\xEF\xBB\xBF" + manifest("/opt/host"), ""},
        ManifestRow{
            manifest(
                "/opt/host",
                R"("allowed_origins": ["chrome-extension://ondflflfbmjblmgagbkicebfakiegiai"])"),
            "holds \"chrome-extension://ondflflfbmjblmgagbkicebfakiegiai\", which is not "
            "chrome-extension://<32 letters a-p>/, and one malformed entry makes the "
            "browser reject the whole manifest"},
        ManifestRow{manifest("/opt/host", R"("allowed_origins": ["chrome-extension://*/"])"),
                    "holds \"chrome-extension://*/\""},
        ManifestRow{manifest("/opt/host", R"("allowed_origins": [])"), "is empty"},
        ManifestRow{manifest("/opt/host", R"("allowed_extensions": ["a@b.example"])"),
                    "has no \"allowed_origins\" (it is Firefox's form)"},
        ManifestRow{manifest("host"),
                    "\"path\" \"host\" is relative; on Linux it must be absolute"},
        ManifestRow{R"({"name": "com.other", "description": "x", "path": "/h", "type": "stdio"})",
                    "\"name\" is \"com.other\", not com.vantrel.print"},
        ManifestRow{
            R"({"name": "com.vantrel.print", "description": "x", "path": "/h", "type": "socket"})",
            "\"type\" is \"socket\", not \"stdio\""},
        ManifestRow{R"({"name": "com.vantrel.print", "path": "/h", "type": "stdio"})",
                    "has no \"description\""},
        ManifestRow{R"({"name": 7})", "\"name\" is not text"},
        ManifestRow{manifest("/opt/host") + ",", "is not valid JSON"}));

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
  const std::string mine = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
  RegistrationFinding finding = check_registration(system, lookup_of(system, "Chrome"));
  require_extensions(finding, ManifestForm::chromium, {mine, "p@v.example"},
                     BrowserPlatform::linux);
  EXPECT_FALSE(finding.check.ok);
  EXPECT_THAT(finding.check.detail, HasSubstr("it does not allow " + mine + ", so"));
  EXPECT_EQ(finding.check.advice, "run ./install-user.sh --allow-origin " + mine + " again");

  RegistrationFinding allowed = check_registration(system, lookup_of(system, "Chrome"));
  require_extensions(allowed, ManifestForm::chromium, {std::string(ORIGIN), "p@v.example"},
                     BrowserPlatform::linux);
  EXPECT_TRUE(allowed.check.ok) << allowed.check.detail;
}

TEST(DoctorRegistration,
     FirefoxPassesOverAnInvalidManifestToTheSystemsAndStartsItWithItsArguments) {
  FakeDoctorSystem system(BrowserPlatform::linux);
  system.environment_values["HOME"] = "/home/ada";
  const std::string system_manifest =
      "/usr/lib/mozilla/native-messaging-hosts/com.vantrel.print.json";
  system.files["/home/ada/.mozilla/native-messaging-hosts/com.vantrel.print.json"] = manifest("/h");
  system.files[system_manifest] =
      manifest("/usr/bin/h", R"("allowed_extensions": ["p@v.example"])");
  const RegistrationFinding finding = check_registration(system, lookup_of(system, "Firefox"));
  ASSERT_TRUE(finding.used) << finding.check.detail;
  EXPECT_EQ(finding.used->arguments, (std::vector<std::string>{system_manifest, "p@v.example"}));
  EXPECT_THAT(finding.check.notes.at(0), HasSubstr("has no \"allowed_extensions\""));
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
