#include "domain/printing/cups/cups_media.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "base/utf.hpp"

namespace vantrel {
namespace {

constexpr std::int32_t UM_PER_HUNDREDTH_MM = 10;
// Nothing larger is a label or a sheet (10 m); it keeps every size and area in 32 bits.
constexpr int LARGEST_MEDIA_HUNDREDTHS_MM = 1'000'000;

int member_integer(const IppAttributes& members, std::string_view name) {
  const int* value = first_value<int>(members, name);
  return value ? *value : 0;
}

std::string name_of_size(MediaSize size, const IppCollection& col,
                         const SupportedMediaNames& names) {
  for (const std::string_view member : {"media-size-name", "media-key"}) {
    const auto* own = first_value<std::string>(col.members, member);
    if (own && media_size_of_name(*own)) return *own;
  }
  const auto* nearest =
      nearest_of_size(names, size, [](const auto& named) { return named.second; });
  return nearest ? nearest->first : media_name_of_size(size);
}

const CupsMedia* media_named(const std::vector<CupsMedia>& offered, std::string_view name) {
  const auto found = std::ranges::find(offered, name, &CupsMedia::name);
  return found == offered.end() ? nullptr : &*found;
}

}  // namespace

SupportedMediaNames supported_media_names(const IppAttributes& queue) {
  SupportedMediaNames names;
  const std::vector<IppValue>* values = values_of(queue, "media-supported");
  if (values == nullptr) return names;
  for (const IppValue& value : *values) {
    const auto* name = std::get_if<std::string>(&value);
    // The bounds of a custom size range name no media.
    if (name == nullptr || name->starts_with("custom_min_") || name->starts_with("custom_max_")) {
      continue;
    }
    if (const auto size = media_size_of_name(*name)) names.emplace_back(*name, *size);
  }
  return names;
}

std::optional<CupsMedia> named_media_of_col(const IppCollection& col,
                                            const SupportedMediaNames& names) {
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
  media.name = name_of_size(size_of(media), col, names);
  return media;
}

std::vector<CupsMedia> named_media(const IppAttributes& queue, std::string_view attribute,
                                   const SupportedMediaNames& names) {
  std::vector<CupsMedia> media;
  const std::vector<IppValue>* values = values_of(queue, attribute);
  if (values == nullptr) return media;
  for (const IppValue& value : *values) {
    const auto* col = std::get_if<IppCollection>(&value);
    std::optional<CupsMedia> one = col ? named_media_of_col(*col, names) : std::nullopt;
    const auto same = [&](const CupsMedia& other) {
      return other.name == one->name && size_of(other) == size_of(*one);
    };
    if (one && std::ranges::none_of(media, same)) media.push_back(std::move(*one));
  }
  return media;
}

MediaSize size_of(const CupsMedia& media) noexcept {
  return {media.width * UM_PER_HUNDREDTH_MM, media.length * UM_PER_HUNDREDTH_MM};
}

CupsMedia media_of_size(std::string name, MediaSize size) {
  return CupsMedia{std::move(name), size.width_um / UM_PER_HUNDREDTH_MM,
                   size.height_um / UM_PER_HUNDREDTH_MM};
}

const CupsMedia* nearest_media(const std::vector<CupsMedia>& offered, MediaSize size) {
  return nearest_of_size(offered, size, [](const CupsMedia& media) { return size_of(media); });
}

std::string listed_name(std::vector<CupsMedia>& offered, CupsMedia media) {
  const CupsMedia* same = media_named(offered, media.name);
  if (same && same_media_size(size_of(*same), size_of(media), MEDIA_MATCH_TOLERANCE_UM)) {
    return same->name;
  }
  if (const CupsMedia* nearest = nearest_media(offered, size_of(media))) return nearest->name;
  offered.push_back(std::move(media));
  return offered.back().name;
}

std::expected<CupsMedia, PrintFailure> page_for_request(const std::vector<CupsMedia>& offered,
                                                        const MediaRequest& request) {
  bool is_turned = false;
  const CupsMedia* chosen = media_named(offered, request.name);
  if (chosen == nullptr) chosen = nearest_media(offered, request.size);
  if (chosen == nullptr) {
    chosen = nearest_media(offered, turned(request.size));
    is_turned = true;
  }
  if (chosen == nullptr) return std::unexpected(media_not_offered(request));

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
