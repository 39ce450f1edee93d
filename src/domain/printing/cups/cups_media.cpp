#include "domain/printing/cups/cups_media.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>

#include "base/utf.hpp"

namespace vantrel {
namespace {

constexpr std::int32_t UM_PER_HUNDREDTH_MM = 10;
constexpr double UM_PER_POINT = 25'400.0 / 72;
// Nothing larger is a label or a sheet (10 m); it keeps every size and area in 32 bits.
constexpr int LARGEST_MEDIA_HUNDREDTHS_MM = LARGEST_MEDIA_UM / UM_PER_HUNDREDTH_MM;

int member_integer(const IppAttributes& members, std::string_view name) {
  const int* value = first_value<int>(members, name);
  return value ? *value : 0;
}

const CupsMedia* media_named(const std::vector<CupsMedia>& offered, std::string_view name) {
  const auto found = std::ranges::find(offered, name, &CupsMedia::name);
  return found == offered.end() ? nullptr : &*found;
}

const CupsMedia* nearest_media(const std::vector<CupsMedia>& offered, MediaSize size) {
  return nearest_of_size(offered, size, [](const CupsMedia& media) { return size_of(media); });
}

bool same_paper(const CupsMedia& a, const CupsMedia& b) {
  return a.width == b.width && a.length == b.length && a.left == b.left && a.right == b.right &&
         a.top == b.top && a.bottom == b.bottom;
}

// A media-col's size and margins, named by its own self-describing media-size-name or
// media-key ("" without one); nullopt without a size within the host's limits.
std::optional<CupsMedia> media_of_col(const IppCollection& col) {
  const auto* size = first_value<IppCollection>(col.members, "media-size");
  if (size == nullptr) return std::nullopt;
  CupsMedia media;
  media.width = member_integer(size->members, "x-dimension");
  media.length = member_integer(size->members, "y-dimension");
  if (media.width <= 0 || media.length <= 0 || media.width > LARGEST_MEDIA_HUNDREDTHS_MM ||
      media.length > LARGEST_MEDIA_HUNDREDTHS_MM) {
    return std::nullopt;
  }
  const auto margin = [&](std::string_view name, int dimension) {
    return std::clamp(member_integer(col.members, name), 0, dimension);
  };
  media.left = margin("media-left-margin", media.width);
  media.right = margin("media-right-margin", media.width);
  media.top = margin("media-top-margin", media.length);
  media.bottom = margin("media-bottom-margin", media.length);
  media.margins_known = std::ranges::all_of(
      std::array<std::string_view, 4>{"media-left-margin", "media-right-margin", "media-top-margin",
                                      "media-bottom-margin"},
      [&](std::string_view margin) { return first_value<int>(col.members, margin) != nullptr; });
  for (const std::string_view member : {"media-size-name", "media-key"}) {
    const auto* own = first_value<std::string>(col.members, member);
    if (own && media_size_of_name(*own)) {
      media.name = *own;
      break;
    }
  }
  return media;
}

// Hundredths of a millimetre as millimetres: "6350" -> "63.5".
std::string millimetres(int hundredths) {
  std::string text = std::to_string(hundredths / 100);
  if (const int rest = hundredths % 100; rest != 0) {
    text += (rest < 10 ? ".0" : ".") + std::to_string(rest % 10 == 0 ? rest / 10 : rest);
  }
  return text;
}

using SupportedNames = std::vector<std::pair<std::string, MediaSize>>;

// The self-describing names of media-supported with the sizes they say, and the custom range
// its custom_min_ and custom_max_ names bound.
SupportedNames supported_names(const IppAttributes& queue, std::optional<MediaRange>& range) {
  SupportedNames names;
  std::optional<MediaSize> smallest;
  std::optional<MediaSize> largest;
  const std::vector<IppValue>* values = values_of(queue, "media-supported");
  if (values == nullptr) return names;
  for (const IppValue& value : *values) {
    const auto* name = std::get_if<std::string>(&value);
    const auto size = name ? media_size_of_name(*name) : std::nullopt;
    if (!size) continue;
    if (name->starts_with("custom_min_")) {
      smallest = size;
    } else if (name->starts_with("custom_max_")) {
      largest = size;
    } else {
      names.emplace_back(*name, *size);
    }
  }
  if (smallest && largest && smallest->width_um <= largest->width_um &&
      smallest->height_um <= largest->height_um) {
    range = MediaRange{*smallest, *largest};
  }
  return names;
}

// A number of a driver's media name: digits with at most one point.
std::optional<double> read_number(std::string_view text) noexcept {
  if (text.empty() ||
      std::ranges::any_of(text, [](char c) { return (c < '0' || c > '9') && c != '.'; })) {
    return std::nullopt;
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "w<width>h<length>" in points.
std::optional<MediaSize> ppd_size_name(std::string_view name) noexcept {
  if (!name.starts_with('w')) return std::nullopt;
  const std::size_t h = name.find('h');
  if (h == std::string_view::npos) return std::nullopt;
  const auto width = read_number(name.substr(1, h - 1));
  const auto length = read_number(name.substr(h + 1));
  if (!width || !length) return std::nullopt;
  return media_size_of(*width, *length, UM_PER_POINT);
}

// "Custom.<width>x<length>[unit]", points without a unit.
std::optional<MediaSize> ppd_custom_name(std::string_view name) noexcept {
  constexpr std::string_view PREFIX = "Custom.";
  if (!name.starts_with(PREFIX)) return std::nullopt;
  name.remove_prefix(PREFIX.size());
  constexpr std::pair<std::string_view, double> UNITS[] = {
      {"in", 25'400.0}, {"cm", 10'000.0}, {"mm", 1000.0}, {"pt", UM_PER_POINT}, {"m", 1e6}};
  double um_per_unit = UM_PER_POINT;
  for (const auto& [suffix, scale] : UNITS) {
    if (name.ends_with(suffix)) {
      name.remove_suffix(suffix.size());
      um_per_unit = scale;
      break;
    }
  }
  const std::size_t x = name.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto width = read_number(name.substr(0, x));
  const auto length = read_number(name.substr(x + 1));
  if (!width || !length) return std::nullopt;
  return media_size_of(*width, *length, um_per_unit);
}

}  // namespace

CupsQueueMedia queue_media(const IppAttributes& queue) {
  CupsQueueMedia result;
  const SupportedNames names = supported_names(queue, result.custom_range);
  const std::vector<IppValue>* values = values_of(queue, "media-col-database");
  if (values == nullptr) return result;
  std::vector<bool> named_by_size;  // per offered media: its name was given out here
  for (const IppValue& value : *values) {
    const auto* col = std::get_if<IppCollection>(&value);
    std::optional<CupsMedia> one = col ? media_of_col(*col) : std::nullopt;
    if (!one) continue;
    const bool own_name = !one->name.empty();
    if (!own_name) {
      bool listed = false;
      for (std::size_t i = 0; i < result.offered.size(); ++i) {
        listed = listed || (named_by_size[i] && same_paper(result.offered[i], *one));
      }
      if (listed) continue;
      // The supported names of its size, nearest first; the first not given out yet.
      std::vector<std::pair<std::int32_t, const std::string*>> candidates;
      for (const auto& [name, size] : names) {
        const std::int32_t distance = media_size_distance(size, size_of(*one));
        if (distance <= MEDIA_MATCH_TOLERANCE_UM) candidates.emplace_back(distance, &name);
      }
      std::ranges::stable_sort(candidates, {}, &std::pair<std::int32_t, const std::string*>::first);
      const auto unused = std::ranges::find_if(candidates, [&](const auto& candidate) {
        return media_named(result.offered, *candidate.second) == nullptr;
      });
      if (unused != candidates.end()) {
        one->name = *unused->second;
      } else {
        one->name =
            candidates.empty() ? media_name_of_size(size_of(*one)) : *candidates.front().second;
      }
    }
    const auto same = [&](const CupsMedia& other) {
      return other.name == one->name && size_of(other) == size_of(*one);
    };
    if (std::ranges::any_of(result.offered, same)) continue;
    result.offered.push_back(std::move(*one));
    named_by_size.push_back(!own_name);
  }
  return result;
}

std::optional<MediaSize> size_of_cups_media_name(std::string_view name) noexcept {
  if (auto size = media_size_of_name(name)) return size;
  if (auto size = ppd_size_name(name)) return size;
  return ppd_custom_name(name);
}

std::optional<MediaSize> size_of_user_media(CupsCalls& calls, std::string_view name) {
  if (auto size = size_of_cups_media_name(name)) return size;
  // A name of those forms that the host does not read is none, whatever libcups' arithmetic
  // makes of it: "w1e8h10", "Custom.100000000x4in", "na_x_99999999999x4in".
  const std::string_view last = name.substr(std::min(name.rfind('_') + 1, name.size()));
  const bool sized_name = name.find('_') != std::string_view::npos &&
                          last.find('x') != std::string_view::npos &&
                          (last.ends_with("in") || last.ends_with("mm"));
  const bool points_name =
      name.size() > 1 && name[0] == 'w' && ((name[1] >= '0' && name[1] <= '9') || name[1] == '.');
  if (sized_name || points_name || name.starts_with("Custom.")) return std::nullopt;
  const std::optional<MediaSize> size = calls.media_size_of_driver_name(name);
  return size && within_media_limits(*size) ? size : std::nullopt;
}

std::string user_media_name(const std::vector<CupsOption>& options) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  const auto is_media = [&](const CupsOption& option) {
    return std::ranges::equal(option.first, std::string_view("media"), {}, lower);
  };
  const auto found = std::ranges::find_if(options.rbegin(), options.rend(), is_media);
  return found == options.rend() ? std::string() : found->second;
}

std::optional<CupsMedia> media_without_request(const IppAttributes& queue,
                                               const std::vector<CupsMedia>& offered,
                                               const std::optional<UserMedia>& user) {
  if (user) {
    if (!user->size) return std::nullopt;
    const CupsMedia* same = media_named(offered, user->name);
    if (same == nullptr ||
        !same_media_size(size_of(*same), *user->size, MEDIA_MATCH_TOLERANCE_UM)) {
      same = nearest_media(offered, *user->size);
    }
    CupsMedia media = same ? *same
                           : CupsMedia{{},
                                       user->size->width_um / UM_PER_HUNDREDTH_MM,
                                       user->size->height_um / UM_PER_HUNDREDTH_MM};
    if (media.width <= 0 || media.length <= 0) return std::nullopt;
    media.name = user->name;
    return media;
  }
  const auto* col = first_value<IppCollection>(queue, "media-col-default");
  std::optional<CupsMedia> media = col ? media_of_col(*col) : std::nullopt;
  if (const auto* name = first_value<std::string>(queue, "media-default"); media && name) {
    media->name = *name;
  }
  return media;
}

MediaSize size_of(const CupsMedia& media) noexcept {
  return {media.width * UM_PER_HUNDREDTH_MM, media.length * UM_PER_HUNDREDTH_MM};
}

std::string listed_name(std::vector<CupsMedia>& offered, CupsMedia media) {
  const CupsMedia* same = media_named(offered, media.name);
  if (same && same_media_size(size_of(*same), size_of(media), MEDIA_MATCH_TOLERANCE_UM)) {
    return same->name;
  }
  if (const CupsMedia* nearest = nearest_media(offered, size_of(media))) return nearest->name;
  if (!media_size_of_name(media.name)) media.name = media_name_of_size(size_of(media));
  offered.push_back(std::move(media));
  return offered.back().name;
}

std::expected<CupsMedia, PrintFailure> page_for_request(const CupsQueueMedia& queue,
                                                        const MediaRequest& request) {
  const std::vector<CupsMedia>& offered = queue.offered;
  bool is_turned = false;
  const CupsMedia* chosen = media_named(offered, request.name);
  if (chosen == nullptr) chosen = nearest_media(offered, request.size);
  if (chosen == nullptr) {
    chosen = nearest_media(offered, turned(request.size));
    is_turned = chosen != nullptr;
  }
  if (chosen == nullptr) {
    if (!range_holds(queue.custom_range, request.size)) {
      return std::unexpected(media_not_offered(request));
    }
    // CUPS applies a custom size named in its PPD form; its "custom_" names it takes and
    // prints on the default page (measured on CUPS 2.4's ZPL sample driver).
    CupsMedia page{{},
                   (request.size.width_um + UM_PER_HUNDREDTH_MM / 2) / UM_PER_HUNDREDTH_MM,
                   (request.size.height_um + UM_PER_HUNDREDTH_MM / 2) / UM_PER_HUNDREDTH_MM};
    page.name = "Custom." + millimetres(page.width) + "x" + millimetres(page.length) + "mm";
    return page;
  }

  CupsMedia page = *media_named(offered, chosen->name);
  if (is_turned) {
    page = CupsMedia{page.name,
                     page.length,
                     page.width,
                     std::max(page.top, page.bottom),
                     std::max(page.top, page.bottom),
                     std::max(page.left, page.right),
                     std::max(page.left, page.right),
                     page.margins_known};
  }
  if (!same_media_size(size_of(page), request.size, MEDIA_PAGE_TOLERANCE_UM)) {
    return std::unexpected(media_not_applied(request, size_of(page)));
  }
  return page;
}

PrinterMedia printer_media_of(const CupsMedia& media) {
  PrinterMedia listed{valid_utf8(media.name), size_of(media), std::nullopt};
  if (media.margins_known) {
    const auto um = [](int hundredths) { return std::max(hundredths, 0) * UM_PER_HUNDREDTH_MM; };
    listed.printable_area =
        MediaArea{um(media.left), um(media.top), um(media.width - media.left - media.right),
                  um(media.length - media.top - media.bottom)};
  }
  return listed;
}

}  // namespace vantrel
