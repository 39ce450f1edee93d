#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "doctor/doctor_report.hpp"
#include "doctor/doctor_system.hpp"

namespace vantrel {

// The native-messaging host's name: the registry keys' and the manifests' file name, and what
// every manifest's "name" must say.
inline constexpr std::string_view HOST_NAME = "com.vantrel.print";

// Chromium browsers (Chrome, Edge, Chromium, Brave, Vivaldi) read "allowed_origins", Firefox
// "allowed_extensions"; each passes the host different arguments.
enum class ManifestForm : std::uint8_t { chromium, firefox };

// An extension the user means, as each browser names it: a Chromium id (32 letters a-p, as
// chrome://extensions shows it) or a Firefox id.
struct ExtensionId {
  ManifestForm form = ManifestForm::chromium;
  std::string id;  // the Chromium id in lower case, or the Firefox id as given

  [[nodiscard]] std::string shown() const;  // a Chromium id as its origin
};

// "chrome-extension://<id>/", a bare Chromium id, or a Firefox id by Firefox's own rule ({uuid},
// or letters, digits, ".", "_", "-" around one "@"); what it is not, otherwise.
[[nodiscard]] std::expected<ExtensionId, std::string> read_extension_id(std::string_view text);

// A manifest as its browsers accept it.
struct HostManifest {
  std::string path;                  // the program, as written
  std::vector<std::string> allowed;  // the entries as written, each one the browser accepts
};

// The manifest read with the rules of the form's browsers on the platform. Both: "name" the
// host's, a "description", "type" "stdio", a "path" (absolute on Linux; relative to the
// manifest's folder allowed on Windows) and a non-empty list. Chromium: comments allowed,
// other members ignored, each origin one it can parse (chrome-extension://, a host without
// wildcards, a path). Firefox: strict JSON, no other member, each id by Firefox's rule. One
// bad entry makes the browser reject the whole manifest. What is wrong, in a few words.
[[nodiscard]] std::expected<HostManifest, std::string> read_host_manifest(std::string_view text,
                                                                          ManifestForm form,
                                                                          BrowserPlatform platform);

// Whether the manifest's list lets the extension start the host, as its browser matches:
// Chromium the origin's host without regard to case and the path as a pattern ("/", "/*"),
// Firefox the id exactly.
[[nodiscard]] bool allows(const HostManifest& manifest, const ExtensionId& extension);

// One place a browser looks for the host.
struct RegistrationPlace {
  std::string label;               // the key or the manifest's path, as shown
  std::optional<RegistryKey> key;  // Windows: its default value names the manifest
  std::string manifest;            // Linux: the manifest itself
  bool per_user = false;           // HKCU or the user's folders, which a user's install writes
};

// Where one browser looks for the host, in its order, and how it chooses.
struct BrowserLookup {
  std::string browser;
  ManifestForm form = ManifestForm::chromium;
  std::vector<RegistrationPlace> places;
  // Firefox on Linux passes over a manifest that is invalid or does not allow the extension
  // to the next folder; the others use the first registration they find, whatever it holds.
  bool passes_over = false;
};

// Every browser of the platform, with its places: on Windows the HKCU key, then HKLM's 32-bit
// and 64-bit views (Edge and Chromium also try Chrome's keys); on Linux the Chromium
// browsers' profile folder (<user-data-dir>/NativeMessagingHosts: `chromium_profile` when
// given, else the default one under XDG_CONFIG_HOME or ~/.config), Firefox's
// ~/.mozilla/native-messaging-hosts, then the system's folders.
[[nodiscard]] std::vector<BrowserLookup> browser_lookups(
    DoctorSystem& system, const std::optional<std::string>& chromium_profile = std::nullopt);

// The registration a browser would use, when valid: the program it starts and the arguments it
// starts it with.
struct Registration {
  std::string browser;
  std::string manifest;  // the manifest's path
  std::string program;   // resolved against the manifest's folder where the browser does so
  std::vector<std::string> arguments;
  std::vector<std::string> allowed;
  bool per_user = false;
};

struct RegistrationFinding {
  DoctorCheck check;
  std::optional<Registration> used;
};

// Reads every place of the browser and concludes which one it would use for the extensions
// the user means (of its form; none: any) and whether that one works: valid, allowing each of
// them, and out of other users' reach (the manifest and every folder above it). The check
// names the others found, which the browser would not use.
[[nodiscard]] RegistrationFinding check_registration(
    DoctorSystem& system, const BrowserLookup& lookup,
    const std::vector<ExtensionId>& extensions = {});

// What to run to install the host again, for a registration of this scope, or for either when
// there is none.
[[nodiscard]] std::string install_advice(BrowserPlatform platform, std::optional<bool> per_user);

// The path itself or the first folder above it that another user can change (nullopt: none,
// or the system cannot tell), with why.
[[nodiscard]] std::optional<std::string> writable_by_others(DoctorSystem& system,
                                                            const std::string& path);

}  // namespace vantrel
