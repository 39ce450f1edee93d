#include "doctor/registration.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "base/json.hpp"
#include "base/os_error.hpp"
#include "base/text.hpp"
#include "domain/state/state_path.hpp"

namespace vantrel {
namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
constexpr std::string_view ORIGIN_SCHEME = "chrome-extension://";
constexpr std::size_t EXTENSION_ID_LENGTH = 32;
constexpr std::string_view CHROMIUM_ID_RULE = "chrome-extension://<32 letters a-p>/";
constexpr std::string_view FIREFOX_ID_RULE =
    "a Firefox id ({uuid}, or letters, digits, \".\", \"_\" and \"-\" around one \"@\"; no \"+\")";

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool is_chromium_id(std::string_view id) {
  return id.size() == EXTENSION_ID_LENGTH &&
         std::ranges::all_of(id, [](char c) { return lower(c) >= 'a' && lower(c) <= 'p'; });
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
}

// Firefox's schema: (?i)^\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}$ or
// (?i)^[a-z0-9-._]*@[a-z0-9-._]+$.
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
  const auto allowed = [](std::string_view part) {
    return std::ranges::all_of(part, [](char c) {
      return (lower(c) >= 'a' && lower(c) <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
             c == '_' || c == '-';
    });
  };
  return allowed(entry.substr(0, at)) && allowed(entry.substr(at + 1));
}

// An origin pattern as Chromium parses one: its scheme, a host without wildcards, a path.
struct OriginPattern {
  std::string_view host, path;
};

std::optional<OriginPattern> origin_pattern(std::string_view entry) {
  if (!entry.starts_with(ORIGIN_SCHEME)) return std::nullopt;
  entry.remove_prefix(ORIGIN_SCHEME.size());
  const std::size_t slash = entry.find('/');
  if (slash == 0 || slash == std::string_view::npos) return std::nullopt;
  const OriginPattern pattern{entry.substr(0, slash), entry.substr(slash)};
  if (pattern.host.find('*') != std::string_view::npos) return std::nullopt;
  return pattern;
}

// A path pattern where "*" stands for any run of characters.
bool path_matches(std::string_view pattern, std::string_view path) {
  if (pattern.empty()) return path.empty();
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= path.size(); ++skip) {
      if (path_matches(pattern.substr(1), path.substr(skip))) return true;
    }
    return false;
  }
  return !path.empty() && path.front() == pattern.front() &&
         path_matches(pattern.substr(1), path.substr(1));
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

std::string in_quotes(std::string_view text) {
  std::string out(1, '"');
  out.append(text).push_back('"');
  return out;
}

// The members Firefox knows besides its list; Chromium ignores members it does not know.
constexpr std::array<std::string_view, 4> COMMON_MEMBERS{"name", "description", "path", "type"};

std::expected<JsonValue, std::string> parse_manifest(std::string_view text, ManifestForm form) {
  if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
  // Chromium's reader takes comments; Firefox's JSON.parse does not.
  JsonValue value = JsonValue::parse(text, nullptr, false, form == ManifestForm::chromium);
  if (value.is_discarded()) return std::unexpected("is not valid JSON");
  if (!value.is_object()) return std::unexpected("is not a JSON object");
  return value;
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

// What one place held: nothing (nullopt), or the manifest a browser would make of it.
struct Found {
  const RegistrationPlace* place = nullptr;
  std::string manifest;
  std::expected<HostManifest, std::string> outcome;  // or what is wrong with it

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
  found.outcome = read_host_manifest(*text, lookup.form, platform);
  return found;
}

Registration registration_of(const BrowserLookup& lookup, const Found& found,
                             BrowserPlatform platform,
                             const std::optional<ExtensionId>& extension) {
  const HostManifest& manifest = *found.outcome;
  Registration registration{lookup.browser,   found.manifest,       manifest.path, {},
                            manifest.allowed, found.place->per_user};
  if (!is_absolute(platform, registration.program)) {
    const PathSyntax syntax = PathSyntax::windows;  // only Windows browsers resolve one
    registration.program =
        join_path(syntax, parent_path(syntax, found.manifest).value_or(""), manifest.path);
  }
  // As the browsers pass them: Chromium the extension's origin (and on Windows the handle of
  // its window, 0 for none), Firefox the manifest's path and the extension's id.
  if (lookup.form == ManifestForm::chromium) {
    registration.arguments.push_back(extension ? extension->shown() : manifest.allowed.front());
    if (platform == BrowserPlatform::windows)
      registration.arguments.emplace_back("--parent-window=0");
  } else {
    registration.arguments = {found.manifest, extension ? extension->id : manifest.allowed.front()};
  }
  return registration;
}

std::string allow_advice(const BrowserLookup& lookup, BrowserPlatform platform, bool per_user,
                         const ExtensionId& extension) {
  const std::string option =
      lookup.form == ManifestForm::chromium ? "--allow-origin " : "--allow-firefox-id ";
  if (platform == BrowserPlatform::windows) {
    return "install a package built for that extension (install/README.md, Allowing your own "
           "extension)";
  }
  if (per_user) return "run ./install-user.sh " + option + extension.shown() + " again";
  return "add " + extension.shown() +
         " to /etc/vantrel-print-host/allowed-extensions and run "
         "update-vantrel-print-host-manifests as root";
}

}  // namespace

std::string ExtensionId::shown() const {
  return form == ManifestForm::chromium ? std::string(ORIGIN_SCHEME) + id + "/" : id;
}

std::expected<ExtensionId, std::string> read_extension_id(std::string_view text) {
  std::string_view id = text;
  if (id.starts_with(ORIGIN_SCHEME) && id.ends_with('/')) {
    id = id.substr(ORIGIN_SCHEME.size(), id.size() - ORIGIN_SCHEME.size() - 1);
  }
  if (is_chromium_id(id)) {
    std::string lowered(id);
    std::ranges::transform(lowered, lowered.begin(), lower);
    return ExtensionId{ManifestForm::chromium, std::move(lowered)};
  }
  if (is_firefox_id(text)) return ExtensionId{ManifestForm::firefox, std::string(text)};
  return std::unexpected("is neither a Chromium extension id (32 letters a-p, or " +
                         std::string(CHROMIUM_ID_RULE) + ") nor " + std::string(FIREFOX_ID_RULE));
}

std::expected<HostManifest, std::string> read_host_manifest(std::string_view text,
                                                            ManifestForm form,
                                                            BrowserPlatform platform) {
  auto parsed = parse_manifest(text, form);
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  const JsonValue& manifest = *parsed;
  const bool chromium = form == ManifestForm::chromium;
  const std::string_view key = chromium ? "allowed_origins" : "allowed_extensions";
  if (!chromium) {
    for (const auto& [member, value] : manifest.items()) {
      if (member != key && std::ranges::find(COMMON_MEMBERS, member) == COMMON_MEMBERS.end()) {
        return std::unexpected("has the member " + in_quotes(member) +
                               ", which Firefox does not know: it rejects the whole manifest");
      }
    }
  }
  const auto text_member = [&](std::string_view name) -> std::expected<std::string, std::string> {
    const auto found = manifest.find(name);
    if (found == manifest.end()) return std::unexpected("has no " + in_quotes(name));
    if (!found->is_string()) return std::unexpected(in_quotes(name) + " is not text");
    return found->get<std::string>();
  };
  auto name = text_member("name");
  if (!name) return std::unexpected(name.error());
  if (*name != HOST_NAME) {
    return std::unexpected("\"name\" is " + in_quotes(*name) + ", not " + std::string(HOST_NAME));
  }
  auto description = text_member("description");
  if (!description || description->empty()) return std::unexpected("has no \"description\"");
  auto type = text_member("type");
  if (!type) return std::unexpected(type.error());
  if (*type != "stdio")
    return std::unexpected("\"type\" is " + in_quotes(*type) + ", not \"stdio\"");
  auto path = text_member("path");
  if (!path || path->empty()) return std::unexpected("has no \"path\"");
  if (platform == BrowserPlatform::linux && !is_absolute(platform, *path)) {
    return std::unexpected("\"path\" " + in_quotes(*path) +
                           " is relative; on Linux it must be absolute");
  }
  const auto list = manifest.find(key);
  if (list == manifest.end()) {
    const bool other_form = manifest.contains(chromium ? "allowed_extensions" : "allowed_origins");
    return std::unexpected("has no " + in_quotes(key) +
                           (other_form ? chromium ? " (it is Firefox's form)"
                                                  : " (it is the form of Chromium browsers)"
                                       : ""));
  }
  if (!list->is_array()) return std::unexpected(in_quotes(key) + " is not a list");
  if (list->empty())
    return std::unexpected(in_quotes(key) + " is empty: no extension may start it");
  HostManifest read{std::move(*path), {}};
  for (const JsonValue& entry : *list) {
    const bool well_formed =
        entry.is_string() &&
        (chromium ? origin_pattern(entry.get_ref<const std::string&>()).has_value()
                  : is_firefox_id(entry.get_ref<const std::string&>()));
    if (!well_formed) {
      return std::unexpected(
          in_quotes(key) + " holds " +
          entry.dump(-1, ' ', false, JsonValue::error_handler_t::replace) + ", which is not " +
          (chromium ? "an origin Chromium can read (chrome-extension://<id>/, no wildcard)"
                    : std::string(FIREFOX_ID_RULE)) +
          ", and one malformed entry makes the browser reject the whole manifest");
    }
    read.allowed.push_back(entry.get<std::string>());
  }
  return read;
}

bool allows(const HostManifest& manifest, const ExtensionId& extension) {
  return std::ranges::any_of(manifest.allowed, [&](const std::string& entry) {
    if (extension.form == ManifestForm::firefox) return entry == extension.id;
    const std::optional<OriginPattern> pattern = origin_pattern(entry);
    return pattern && pattern->host.size() == extension.id.size() &&
           std::ranges::equal(pattern->host, extension.id,
                              [](char a, char b) { return lower(a) == lower(b); }) &&
           path_matches(pattern->path, "/");
  });
}

std::vector<BrowserLookup> browser_lookups(DoctorSystem& system,
                                           const std::optional<std::string>& chromium_profile) {
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
    // A browser reads the user's manifests from its profile folder (--user-data-dir).
    if (chromium_profile) {
      lookup.places.push_back(folder_place(*chromium_profile + "/NativeMessagingHosts", true));
    } else if (config) {
      lookup.places.push_back(folder_place(
          *config + "/" + std::string(browser.user_folder) + "/NativeMessagingHosts", true));
    }
    lookup.places.push_back(folder_place(std::string(browser.system_folder), false));
    lookups.push_back(std::move(lookup));
  }
  BrowserLookup firefox{"Firefox", ManifestForm::firefox, {}, true};
  // Firefox passes over a manifest it rejects, or that does not allow the extension, to the
  // next folder.
  if (home)
    firefox.places.push_back(folder_place(*home + "/.mozilla/native-messaging-hosts", true));
  firefox.places.push_back(folder_place("/usr/lib/mozilla/native-messaging-hosts", false));
  firefox.places.push_back(folder_place("/usr/lib64/mozilla/native-messaging-hosts", false));
  lookups.push_back(std::move(firefox));
  return lookups;
}

RegistrationFinding check_registration(DoctorSystem& system, const BrowserLookup& lookup,
                                       const std::vector<ExtensionId>& extensions) {
  const BrowserPlatform platform = system.platform();
  std::vector<Found> found;
  for (const RegistrationPlace& place : lookup.places) {
    if (std::optional<Found> one = read_place(system, lookup, place))
      found.push_back(std::move(*one));
  }
  std::vector<ExtensionId> wanted;
  for (const ExtensionId& extension : extensions) {
    if (extension.form == lookup.form) wanted.push_back(extension);
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
  // The one the browser uses for an extension: the first found, or for Firefox the first that
  // is valid and allows it; when Firefox passes over every one, the first explains why.
  const auto used_for = [&](const std::optional<ExtensionId>& extension) {
    auto used = std::ranges::find_if(found, [&](const Found& one) {
      return !lookup.passes_over ||
             (one.outcome && (!extension || allows(*one.outcome, *extension)));
    });
    return used == found.end() ? found.begin() : used;
  };
  const std::optional<ExtensionId> first =
      wanted.empty() ? std::nullopt : std::optional<ExtensionId>(wanted.front());
  const auto used = used_for(first);
  if (used->outcome) {
    const Registration registration = registration_of(lookup, *used, platform, first);
    check.ok = true;
    check.detail = used->where() + ": starts " + registration.program + " for " +
                   joined(registration.allowed, ", ");
    finding.used = registration;
    std::vector<std::string> refused;
    for (const ExtensionId& extension : wanted) {
      const auto its = used_for(extension);
      if (!its->outcome || !allows(*its->outcome, extension)) refused.push_back(extension.shown());
    }
    if (!refused.empty()) {
      check.ok = false;
      check.detail += "; it does not allow " + joined(refused, ", ") +
                      (lookup.form == ManifestForm::chromium
                           ? ", so the browser refuses that extension (\"forbidden\")"
                           : ", so Firefox tells that extension \"No such native application " +
                                 std::string(HOST_NAME) + "\"");
      check.advice = allow_advice(lookup, platform, used->place->per_user,
                                  *std::ranges::find_if(wanted, [&](const ExtensionId& e) {
                                    return e.shown() == refused.front();
                                  }));
    }
    // A manifest or a program that another user can replace is theirs to run as this user.
    for (const std::string& path : {registration.manifest, registration.program}) {
      if (std::optional<std::string> open = writable_by_others(system, path); open && check.ok) {
        check.ok = false;
        check.detail += "; " + *open;
        check.advice = "let only its owner write it (chmod go-w), then " +
                       install_advice(platform, used->place->per_user);
      }
    }
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
    std::string state = other->outcome ? "valid" : other->outcome.error();
    if (other->outcome && first && !allows(*other->outcome, *first)) {
      state += ", does not allow " + first->shown();
    }
    check.notes.push_back("also " + other->where() + " (" + state + "), which " + lookup.browser +
                          " does not use" +
                          (lookup.passes_over && other < used ? ": it passes over it" : ""));
  }
  return finding;
}

std::optional<std::string> writable_by_others(DoctorSystem& system, const std::string& path) {
  constexpr std::uint32_t GROUP_OR_OTHERS_WRITE = 0022;
  constexpr std::uint32_t STICKY = 01000;
  std::optional<std::string> at = path;
  bool folder = false;
  while (at) {
    const std::optional<FileAccess> access = system.file_access(*at);
    if (access) {
      // A sticky folder (/tmp) lets others add entries, never replace this user's.
      const bool open =
          (access->mode & GROUP_OR_OTHERS_WRITE) != 0 && !(folder && (access->mode & STICKY) != 0);
      if (open || access->foreign_owner) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(access->mode & 07777));
        return (folder ? "the folder " : "") + *at + " can be changed by other users (" +
               (access->foreign_owner ? "owned by another user" : "mode " + std::string(mode)) +
               (folder ? "), and with it " + path : ")");
      }
    }
    std::optional<std::string> parent = parent_path(
        system.platform() == BrowserPlatform::windows ? PathSyntax::windows : PathSyntax::posix,
        *at);
    if (!parent || *parent == *at) break;
    at = std::move(parent);
    folder = true;
  }
  return std::nullopt;
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
