#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/doctor/doctor_report.hpp"
#include "domain/doctor/doctor_system.hpp"

namespace vantrel {

// The native-messaging host's name: the registry keys' and the manifests' file name, and what
// every manifest's "name" must say.
inline constexpr std::string_view HOST_NAME = "com.vantrel.print";

// Chromium browsers (Chrome, Edge, Chromium, Brave, Vivaldi) read "allowed_origins", Firefox
// "allowed_extensions"; each passes the host different arguments.
enum class ManifestForm : std::uint8_t { chromium, firefox };

// A manifest as its browsers accept it.
struct HostManifest {
  std::string path;                  // the program, as written
  std::vector<std::string> allowed;  // origins or extension ids, each well formed
};

// The manifest read with the rules of the form's browsers on the platform: strict JSON (a
// leading byte-order mark allowed, as both parse it), "name" the host's, a "description",
// "type" "stdio", a "path" (absolute on Linux; relative to the manifest's folder allowed on
// Windows), and the form's list, every entry well formed: one malformed entry makes the browser
// reject the whole manifest. What is wrong, in a few words, otherwise.
[[nodiscard]] std::expected<HostManifest, std::string> read_host_manifest(std::string_view text,
                                                                          ManifestForm form,
                                                                          BrowserPlatform platform);

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
  // Firefox on Linux passes over an invalid manifest to the next folder; the others use the
  // first registration they find, valid or not.
  bool passes_over_invalid = false;
};

// Every browser of the platform, with its places: on Windows the HKCU key, then HKLM's 32-bit
// and 64-bit views (Edge and Chromium also try Chrome's keys); on Linux the user's folder
// (under XDG_CONFIG_HOME, else ~/.config; ~/.mozilla for Firefox), then the system's.
[[nodiscard]] std::vector<BrowserLookup> browser_lookups(DoctorSystem& system);

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

// Reads every place of the browser and concludes which one it would use and whether that one
// works; the check names the others found, which the browser would not use.
[[nodiscard]] RegistrationFinding check_registration(DoctorSystem& system,
                                                     const BrowserLookup& lookup);

// The extensions the user means (Chromium origins "chrome-extension://<id>/", Firefox ids) that
// the registration a browser uses does not allow: the check fails, naming them, and says how
// to allow them. Registrations of the other form are not asked about the other form's ids.
void require_extensions(RegistrationFinding& finding, ManifestForm form,
                        const std::vector<std::string>& extensions, BrowserPlatform platform);

// What to run to install the host again, for a registration of this scope, or for either when
// there is none.
[[nodiscard]] std::string install_advice(BrowserPlatform platform, std::optional<bool> per_user);

}  // namespace vantrel
