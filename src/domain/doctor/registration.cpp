#include "domain/doctor/registration.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "base/json_reader.hpp"
#include "base/os_error.hpp"
#include "base/text.hpp"
#include "domain/state/state_path.hpp"

namespace vantrel {
namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
constexpr std::string_view ORIGIN_SCHEME = "chrome-extension://";
constexpr std::size_t EXTENSION_ID_LENGTH = 32;

// chrome-extension:// + the 32-letter id (a-p) + "/", as the installers write it: Chromium
// refuses wildcards and an entry without its "/" matches nothing.
bool is_origin(std::string_view entry) {
  if (!entry.starts_with(ORIGIN_SCHEME) || !entry.ends_with('/')) return false;
  const std::string_view id =
      entry.substr(ORIGIN_SCHEME.size(), entry.size() - ORIGIN_SCHEME.size() - 1);
  return id.size() == EXTENSION_ID_LENGTH &&
         std::ranges::all_of(id, [](char c) { return c >= 'a' && c <= 'p'; });
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// name@example.com or {8-4-4-4-12 hexadecimal digits}, as Firefox's schema and the installers
// accept them.
bool is_firefox_id(std::string_view entry) {
  if (entry.size() == 38 && entry.front() == '{' && entry.back() == '}') {
    for (std::size_t i = 1; i < 37; ++i) {
      const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
      if (dash ? entry[i] != '-' : !is_hex(entry[i])) return false;
    }
    return true;
  }
  const std::size_t at = entry.find('@');
  if (at == std::string_view::npos || at + 1 == entry.size()) return false;
  const auto allowed = [](std::string_view part, bool plus) {
    return std::ranges::all_of(part, [plus](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             c == '.' || c == '_' || c == '-' || (plus && c == '+');
    });
  };
  return allowed(entry.substr(0, at), true) && allowed(entry.substr(at + 1), false);
}

bool is_windows_separator(char c) {
  return c == '\\' || c == '/';
}

// A drive and a root ("C:\"), or a share or device ("\\server\share", "\\?\"): what Windows
// browsers take as a full path.
bool is_absolute(BrowserPlatform platform, std::string_view path) {
  if (platform == BrowserPlatform::linux) return path.starts_with('/');
  if (path.size() >= 2 && is_windows_separator(path[0]) && is_windows_separator(path[1])) {
    return true;
  }
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         is_windows_separator(path[2]);
}

std::string quoted(std::string_view text) {
  std::string out(1, '"');
  out.append(text).push_back('"');
  return out;
}

// The members a manifest may have, as read; a member of the wrong type is a problem at once.
struct ManifestMembers {
  std::optional<std::string> name, description, path, type;
  std::optional<std::vector<std::string>> origins, extensions;
};

std::expected<ManifestMembers, std::string> read_members(std::string_view text) {
  if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
  // The document is checked whole first, so that a failed typed read below can only mean a
  // value of another type.
  JsonReader whole(text);
  whole.skip_whitespace();
  const bool is_json = whole.skip_value() && (whole.skip_whitespace(), whole.at_end());
  if (!is_json) return std::unexpected("is not valid JSON");

  ManifestMembers members;
  std::string problem;
  JsonReader reader(text);
  reader.skip_whitespace();
  const auto text_member = [&](std::string_view key, std::optional<std::string>& field) {
    field.emplace();
    if (reader.read_text(*field)) return true;
    problem = quoted(key) + " is not text";
    return false;
  };
  const auto list_member = [&](std::string_view key,
                               std::optional<std::vector<std::string>>& field) {
    field.emplace();
    if (!reader.consume('[')) {
      problem = quoted(key) + " is not a list";
      return false;
    }
    reader.skip_whitespace();
    if (reader.consume(']')) return true;
    for (;;) {
      if (!reader.read_text(field->emplace_back())) {
        problem = quoted(key) + " holds a value that is not text";
        return false;
      }
      reader.skip_whitespace();
      if (reader.consume(']')) return true;
      if (!reader.consume(',')) return false;
      reader.skip_whitespace();
    }
  };
  const bool read = reader.read_object([&](std::string_view key) {
    if (key == "name") return text_member("name", members.name);
    if (key == "description") return text_member("description", members.description);
    if (key == "path") return text_member("path", members.path);
    if (key == "type") return text_member("type", members.type);
    if (key == "allowed_origins") return list_member("allowed_origins", members.origins);
    if (key == "allowed_extensions") return list_member("allowed_extensions", members.extensions);
    return reader.skip_value();
  });
  if (!read) return std::unexpected(problem.empty() ? "is not a JSON object" : problem);
  return members;
}

struct RegistryRootName {
  RegistryRoot root;
  RegistryView view;
  std::string_view label;
  std::string_view suffix;
};

// The order of Chromium's and Firefox's lookups: the user's key, then the machine's 32-bit view
// and its 64-bit view (HKCU\Software has one view only).
constexpr std::array<RegistryRootName, 3> REGISTRY_ORDER{{
    {RegistryRoot::current_user, RegistryView::shared, "HKCU", ""},
    {RegistryRoot::local_machine, RegistryView::wow64_32, "HKLM", " (32-bit view)"},
    {RegistryRoot::local_machine, RegistryView::wow64_64, "HKLM", " (64-bit view)"},
}};

BrowserLookup registry_lookup(std::string browser, ManifestForm form,
                              std::initializer_list<std::string_view> vendors) {
  BrowserLookup lookup{std::move(browser), form, {}, false};
  for (const RegistryRootName& root : REGISTRY_ORDER) {
    for (std::string_view vendor : vendors) {
      std::string key = "Software\\";
      key.append(vendor).append("\\NativeMessagingHosts\\").append(HOST_NAME);
      std::string label = std::string(root.label) + "\\" + key + std::string(root.suffix);
      lookup.places.push_back(RegistrationPlace{std::move(label),
                                                RegistryKey{root.root, root.view, key}, "",
                                                root.root == RegistryRoot::current_user});
    }
  }
  return lookup;
}

std::string manifest_file_name() {
  return std::string(HOST_NAME) + ".json";
}

RegistrationPlace folder_place(std::string folder, bool per_user) {
  std::string manifest = join_path(PathSyntax::posix, folder, manifest_file_name());
  return RegistrationPlace{manifest, std::nullopt, manifest, per_user};
}

// What one place held: nothing (nullopt), or the registration a browser would make of it.
struct Found {
  const RegistrationPlace* place = nullptr;
  std::string manifest;
  std::expected<Registration, std::string> outcome;  // or what is wrong with the manifest

  // "<key> -> <manifest>" on Windows, the manifest on Linux.
  [[nodiscard]] std::string where() const {
    return place->key ? place->label + " -> " + manifest : manifest;
  }
};

std::optional<Found> read_place(DoctorSystem& system, const BrowserLookup& lookup,
                                const RegistrationPlace& place) {
  const BrowserPlatform platform = system.platform();
  Found found{&place, place.manifest, std::unexpected(std::string())};
  if (place.key) {
    std::optional<std::string> value = system.registry_default(*place.key);
    if (!value) return std::nullopt;
    found.manifest = std::move(*value);
    // Firefox takes "/" for "\" in the key's value.
    if (lookup.form == ManifestForm::firefox) std::ranges::replace(found.manifest, '/', '\\');
    if (!is_absolute(platform, found.manifest)) {
      found.outcome = std::unexpected("is not a manifest's full path");
      return found;
    }
  }
  FileResult<std::string> text = system.read_file(found.manifest);
  if (!text) {
    if (text.error().kind == FileErrorKind::not_found) {
      if (!place.key) return std::nullopt;
      found.outcome = std::unexpected("does not exist");
    } else {
      found.outcome = std::unexpected("cannot be read: " + os_error_text(text.error().os_code));
    }
    return found;
  }
  auto manifest = read_host_manifest(*text, lookup.form, platform);
  if (!manifest) {
    found.outcome = std::unexpected(std::move(manifest.error()));
    return found;
  }
  Registration registration{lookup.browser, found.manifest, manifest->path, {}, {}, place.per_user};
  if (!is_absolute(platform, registration.program)) {
    const PathSyntax syntax = PathSyntax::windows;  // only Windows browsers resolve one
    registration.program =
        join_path(syntax, parent_path(syntax, found.manifest).value_or(""), manifest->path);
  }
  // As the browsers pass them: Chromium the extension's origin (and on Windows the handle of
  // its window, 0 for none), Firefox the manifest's path and the extension's id.
  if (lookup.form == ManifestForm::chromium) {
    registration.arguments.push_back(manifest->allowed.front());
    if (platform == BrowserPlatform::windows)
      registration.arguments.emplace_back("--parent-window=0");
  } else {
    registration.arguments = {found.manifest, manifest->allowed.front()};
  }
  registration.allowed = std::move(manifest->allowed);
  found.outcome = std::move(registration);
  return found;
}

}  // namespace

std::expected<HostManifest, std::string> read_host_manifest(std::string_view text,
                                                            ManifestForm form,
                                                            BrowserPlatform platform) {
  auto members = read_members(text);
  if (!members) return std::unexpected(std::move(members.error()));
  if (!members->name) return std::unexpected("has no \"name\"");
  if (*members->name != HOST_NAME) {
    return std::unexpected("\"name\" is " + quoted(*members->name) + ", not " +
                           std::string(HOST_NAME));
  }
  if (!members->description || members->description->empty()) {
    return std::unexpected("has no \"description\"");
  }
  if (members->type != "stdio") {
    return std::unexpected(members->type
                               ? "\"type\" is " + quoted(*members->type) + ", not \"stdio\""
                               : "has no \"type\"");
  }
  if (!members->path || members->path->empty()) return std::unexpected("has no \"path\"");
  if (platform == BrowserPlatform::linux && !is_absolute(platform, *members->path)) {
    return std::unexpected("\"path\" " + quoted(*members->path) +
                           " is relative; on Linux it must be absolute");
  }
  const bool chromium = form == ManifestForm::chromium;
  const std::string_view key = chromium ? "allowed_origins" : "allowed_extensions";
  auto& list = chromium ? members->origins : members->extensions;
  if (!list) {
    const bool other_form =
        chromium ? members->extensions.has_value() : members->origins.has_value();
    return std::unexpected("has no " + quoted(key) +
                           (other_form ? chromium ? " (it is Firefox's form)"
                                                  : " (it is the form of Chromium browsers)"
                                       : ""));
  }
  if (list->empty()) return std::unexpected(quoted(key) + " is empty: no extension may start it");
  for (const std::string& entry : *list) {
    if (chromium ? !is_origin(entry) : !is_firefox_id(entry)) {
      return std::unexpected(
          quoted(key) + " holds " + quoted(entry) + ", which is not " +
          (chromium ? "chrome-extension://<32 letters a-p>/"
                    : "a Firefox id (name@example.com or {uuid})") +
          ", and one malformed entry makes the browser reject the whole manifest");
    }
  }
  return HostManifest{std::move(*members->path), std::move(*list)};
}

std::vector<BrowserLookup> browser_lookups(DoctorSystem& system) {
  if (system.platform() == BrowserPlatform::windows) {
    // Edge also reads Chromium's and Chrome's keys, and Chromium reads Chrome's.
    return {registry_lookup("Chrome", ManifestForm::chromium, {"Google\\Chrome"}),
            registry_lookup("Edge", ManifestForm::chromium,
                            {"Microsoft\\Edge", "Chromium", "Google\\Chrome"}),
            registry_lookup("Chromium", ManifestForm::chromium, {"Chromium", "Google\\Chrome"}),
            registry_lookup("Firefox", ManifestForm::firefox, {"Mozilla"})};
  }
  // Only absolute values count, as install-user.sh and the XDG rules say.
  const auto absolute = [&](std::string_view name) -> std::optional<std::string> {
    std::optional<std::string> value = system.environment(name);
    if (!value || !value->starts_with('/')) return std::nullopt;
    return value;
  };
  const std::optional<std::string> home = absolute("HOME");
  std::optional<std::string> config = absolute("XDG_CONFIG_HOME");
  if (!config && home) config = *home + "/.config";

  struct ChromiumBrowser {
    std::string_view name, user_folder, system_folder;
  };
  constexpr std::array<ChromiumBrowser, 5> CHROMIUM_BROWSERS{{
      {"Chrome", "google-chrome", "/etc/opt/chrome/native-messaging-hosts"},
      {"Chromium", "chromium", "/etc/chromium/native-messaging-hosts"},
      {"Edge", "microsoft-edge", "/etc/opt/edge/native-messaging-hosts"},
      {"Brave", "BraveSoftware/Brave-Browser", "/etc/opt/brave/native-messaging-hosts"},
      {"Vivaldi", "vivaldi", "/etc/opt/vivaldi/native-messaging-hosts"},
  }};
  std::vector<BrowserLookup> lookups;
  for (const ChromiumBrowser& browser : CHROMIUM_BROWSERS) {
    BrowserLookup lookup{std::string(browser.name), ManifestForm::chromium, {}, false};
    if (config) {
      lookup.places.push_back(folder_place(
          *config + "/" + std::string(browser.user_folder) + "/NativeMessagingHosts", true));
    }
    lookup.places.push_back(folder_place(std::string(browser.system_folder), false));
    lookups.push_back(std::move(lookup));
  }
  BrowserLookup firefox{"Firefox", ManifestForm::firefox, {}, true};
  if (home)
    firefox.places.push_back(folder_place(*home + "/.mozilla/native-messaging-hosts", true));
  firefox.places.push_back(folder_place("/usr/lib/mozilla/native-messaging-hosts", false));
  firefox.places.push_back(folder_place("/usr/lib64/mozilla/native-messaging-hosts", false));
  lookups.push_back(std::move(firefox));
  return lookups;
}

RegistrationFinding check_registration(DoctorSystem& system, const BrowserLookup& lookup) {
  const BrowserPlatform platform = system.platform();
  std::vector<Found> found;
  for (const RegistrationPlace& place : lookup.places) {
    if (std::optional<Found> one = read_place(system, lookup, place))
      found.push_back(std::move(*one));
  }
  RegistrationFinding finding;
  DoctorCheck& check = finding.check;
  check.name = "registration " + lookup.browser;
  if (found.empty()) {
    std::string places;
    if (platform == BrowserPlatform::windows) {
      places = "no key " + lookup.places.front().key->path + " under HKCU or HKLM";
    } else {
      for (const RegistrationPlace& place : lookup.places) {
        places += places.empty() ? "none of " : ", ";
        places += place.label;
      }
    }
    check.detail = "not registered (" + places + ")";
    check.advice = install_advice(platform, std::nullopt);
    return finding;
  }
  // The one the browser uses; when Firefox passes over every manifest, the first explains why.
  auto used = std::ranges::find_if(found, [&](const Found& one) {
    return !lookup.passes_over_invalid || one.outcome.has_value();
  });
  if (used == found.end()) used = found.begin();
  if (used->outcome) {
    const Registration& registration = *used->outcome;
    check.ok = true;
    check.detail = used->where() + ": starts " + registration.program + " for " +
                   joined(registration.allowed, ", ");
    finding.used = registration;
  } else {
    check.detail = used->where() + ": " + used->outcome.error();
    const auto fallback = std::find_if(used + 1, found.end(),
                                       [](const Found& one) { return one.outcome.has_value(); });
    check.advice = fallback != found.end()
                       ? "remove the stray registration " + used->place->label + " (" +
                             lookup.browser + " would then use " + fallback->place->label + ")"
                       : install_advice(platform, used->place->per_user);
    // The package's manifests are written by its script, which an administrator may run alone.
    if (platform == BrowserPlatform::linux && !used->place->per_user && fallback == found.end()) {
      check.advice =
          "run update-vantrel-print-host-manifests as root, which writes them anew; or " +
          check.advice;
    }
  }
  // Other registrations of the same manifest behave as the one used: only the others count.
  for (auto other = found.begin(); other != found.end(); ++other) {
    if (other == used || other->manifest == used->manifest) continue;
    check.notes.push_back("also " + other->where() + " (" +
                          (other->outcome ? std::string("valid") : other->outcome.error()) +
                          "), which " + lookup.browser + " does not use");
  }
  return finding;
}

void require_extensions(RegistrationFinding& finding, ManifestForm form,
                        const std::vector<std::string>& extensions, BrowserPlatform platform) {
  if (!finding.used) return;
  std::vector<std::string> missing;
  for (const std::string& extension : extensions) {
    const bool chromium_origin = extension.starts_with("chrome-extension://");
    if (chromium_origin != (form == ManifestForm::chromium)) continue;
    if (std::ranges::find(finding.used->allowed, extension) == finding.used->allowed.end()) {
      missing.push_back(extension);
    }
  }
  if (missing.empty()) return;
  DoctorCheck& check = finding.check;
  check.ok = false;
  check.detail += "; it does not allow " + joined(missing, ", ") +
                  ", so the browser refuses that extension (\"forbidden\")";
  const std::string option =
      form == ManifestForm::chromium ? "--allow-origin " : "--allow-firefox-id ";
  if (platform == BrowserPlatform::windows) {
    check.advice =
        "install a package built for that extension (install/README.md, Allowing "
        "your own extension)";
  } else if (finding.used->per_user) {
    check.advice = "run ./install-user.sh " + option + missing.front() + " again";
  } else {
    check.advice = "add " + missing.front() +
                   " to /etc/vantrel-print-host/allowed-extensions and run "
                   "update-vantrel-print-host-manifests as root";
  }
}

std::string install_advice(BrowserPlatform platform, std::optional<bool> per_user) {
  if (platform == BrowserPlatform::windows) {
    if (!per_user) {
      return "install the host: msiexec /i vantrel-print-host-per-user.msi (or the per-machine "
             "package)";
    }
    return *per_user ? "install the host again: msiexec /i vantrel-print-host-per-user.msi"
                     : "install the host again as an administrator: msiexec /i "
                       "vantrel-print-host-per-machine.msi";
  }
  if (!per_user) {
    return "install the host: apt install ./vantrel-print-host_<version>_amd64.deb, or "
           "./install-user.sh from the per-user archive";
  }
  return *per_user ? "run ./install-user.sh from the per-user archive again"
                   : "reinstall the package as root: apt install --reinstall "
                     "./vantrel-print-host_<version>_amd64.deb";
}

}  // namespace vantrel
