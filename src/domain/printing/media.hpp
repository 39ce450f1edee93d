#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/printing/print_outcome.hpp"

namespace vantrel {

// Media are named by self-describing names ("na_index-4x6_4x6in", "iso_a6_105x148mm",
// "custom_2.25x1.25in"): a class and a name, then the width and the height with their unit.
// The first number is the width as the label stands on the page, so a name also says the
// orientation. Sizes are whole micrometres, which every print system's unit divides into.

struct MediaSize {
  std::int32_t width_um = 0;
  std::int32_t height_um = 0;

  bool operator==(const MediaSize&) const = default;
};

// The part of a media that can be printed on, from its top-left corner.
struct MediaArea {
  std::int32_t x_um = 0;
  std::int32_t y_um = 0;
  std::int32_t width_um = 0;
  std::int32_t height_um = 0;

  bool operator==(const MediaArea&) const = default;
};

// A requested media: its name and the size the name says.
struct MediaRequest {
  std::string name;
  MediaSize size;

  bool operator==(const MediaRequest&) const = default;
};

// The host's limits for a side of a media: a micrometre to 10 m. A size outside them is no
// media, wherever it was read (a name, a driver's list, a user's settings).
inline constexpr std::int32_t SMALLEST_MEDIA_UM = 1;
inline constexpr std::int32_t LARGEST_MEDIA_UM = 10'000'000;

[[nodiscard]] constexpr bool within_media_limits(MediaSize size) noexcept {
  return size.width_um >= SMALLEST_MEDIA_UM && size.width_um <= LARGEST_MEDIA_UM &&
         size.height_um >= SMALLEST_MEDIA_UM && size.height_um <= LARGEST_MEDIA_UM;
}

// A size as whole micrometres from a count of some unit (points, inches, tenths of a
// millimetre), computed without overflow; nullopt outside the host's limits.
[[nodiscard]] std::optional<MediaSize> media_size_of(double width, double height,
                                                     double um_per_unit) noexcept;

// The sizes a queue takes beyond its listed media, both sides within their bounds.
struct MediaRange {
  MediaSize smallest;
  MediaSize largest;

  bool operator==(const MediaRange&) const = default;
};

[[nodiscard]] constexpr bool range_holds(const std::optional<MediaRange>& range,
                                         MediaSize size) noexcept {
  return range && size.width_um >= range->smallest.width_um &&
         size.width_um <= range->largest.width_um && size.height_um >= range->smallest.height_um &&
         size.height_um <= range->largest.height_um;
}

// A queue's paper matches a named size within half a millimetre each way (a driver's A4 in
// points is a tenth of a millimetre short); the page a driver will print on may differ from the
// requested media by at most a millimetre.
inline constexpr std::int32_t MEDIA_MATCH_TOLERANCE_UM = 500;
inline constexpr std::int32_t MEDIA_PAGE_TOLERANCE_UM = 1000;

// The size a self-describing name says; nullopt for a name that is not one (at least two parts
// joined by "_", the last "<width>x<height>" and "in" or "mm", both positive).
[[nodiscard]] std::optional<MediaSize> media_size_of_name(std::string_view name) noexcept;

// The self-describing name of a size: the standard name of a common paper or label size of
// that width and height (within MEDIA_MATCH_TOLERANCE_UM), else "custom_<w>x<h><unit>" in
// inches where the size is a whole sixteenth of an inch, in millimetres otherwise.
[[nodiscard]] std::string media_name_of_size(MediaSize size);

// The name of one of two or more papers of one size: "oe_" (or "om_" in millimetres), the
// paper's own name as a keyword ("4x6Margins" -> "4x-6-margins"), and the size as
// media_name_of_size gives it; "" when the own name has no letter or digit.
[[nodiscard]] std::string media_name_of_paper(std::string_view own_name, MediaSize size);

// "custom_<w>x<h><unit>" for a size no listed media has, as media_name_of_size names one.
[[nodiscard]] std::string custom_media_name(MediaSize size);

[[nodiscard]] bool same_media_size(MediaSize a, MediaSize b, std::int32_t tolerance_um) noexcept;

// How far apart two sizes are: the larger difference of the two sides.
[[nodiscard]] std::int32_t media_size_distance(MediaSize a, MediaSize b) noexcept;

[[nodiscard]] constexpr MediaSize turned(MediaSize size) noexcept {
  return {size.height_um, size.width_um};
}

// Of the items, the one whose size is nearest `size` within MEDIA_MATCH_TOLERANCE_UM (the first
// of equals); nullptr for none. Both hosts choose a queue's paper for a size this way.
template <class Item, class SizeOf>
[[nodiscard]] const Item* nearest_of_size(const std::vector<Item>& items, MediaSize size,
                                          SizeOf size_of) {
  const Item* nearest = nullptr;
  std::int32_t nearest_distance = 0;
  for (const Item& item : items) {
    const MediaSize item_size = size_of(item);
    const std::int32_t distance = media_size_distance(item_size, size);
    if (item_size.width_um > 0 && item_size.height_um > 0 && distance <= MEDIA_MATCH_TOLERANCE_UM &&
        (nearest == nullptr || distance < nearest_distance)) {
      nearest = &item;
      nearest_distance = distance;
    }
  }
  return nearest;
}

// The refusals of a media selection, in the words both hosts use.
[[nodiscard]] PrintFailure media_not_offered(const MediaRequest& media);
[[nodiscard]] PrintFailure media_not_applied(const MediaRequest& media, MediaSize page);

// "101.6 x 152.4 mm"
[[nodiscard]] std::string describe_media_size(MediaSize size);

}  // namespace vantrel
