#include "domain/printing/media.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vantrel {
namespace {

constexpr std::int32_t UM_PER_INCH = 25'400;
// Inch-sized stock comes in sixteenths of an inch (2-5/16 x 4 in); a size counts as one when a
// driver's tenths of a millimetre are all that part it from one.
constexpr double UM_PER_SIXTEENTH_INCH = 1587.5;
constexpr double SIXTEENTH_INCH_SLACK_UM = 60;

struct StandardMedia {
  std::string_view name;
  MediaSize size;
};

constexpr std::int32_t inches(double value) {
  return static_cast<std::int32_t>(value * UM_PER_INCH + 0.5);
}
constexpr std::int32_t millimetres(double value) {
  return static_cast<std::int32_t>(value * 1000 + 0.5);
}

// Common papers and label stocks by their standard self-describing names, portrait as named.
constexpr std::array<StandardMedia, 26> STANDARD_MEDIA{{
    {"na_index-3x5_3x5in", {inches(3), inches(5)}},
    {"na_index-4x6_4x6in", {inches(4), inches(6)}},
    {"na_5x7_5x7in", {inches(5), inches(7)}},
    {"na_index-5x8_5x8in", {inches(5), inches(8)}},
    {"na_govt-letter_8x10in", {inches(8), inches(10)}},
    {"na_invoice_5.5x8.5in", {inches(5.5), inches(8.5)}},
    {"na_executive_7.25x10.5in", {inches(7.25), inches(10.5)}},
    {"na_letter_8.5x11in", {inches(8.5), inches(11)}},
    {"na_legal_8.5x14in", {inches(8.5), inches(14)}},
    {"na_ledger_11x17in", {inches(11), inches(17)}},
    {"na_number-10_4.125x9.5in", {inches(4.125), inches(9.5)}},
    {"na_monarch_3.875x7.5in", {inches(3.875), inches(7.5)}},
    {"iso_a3_297x420mm", {millimetres(297), millimetres(420)}},
    {"iso_a4_210x297mm", {millimetres(210), millimetres(297)}},
    {"iso_a5_148x210mm", {millimetres(148), millimetres(210)}},
    {"iso_a6_105x148mm", {millimetres(105), millimetres(148)}},
    {"iso_a7_74x105mm", {millimetres(74), millimetres(105)}},
    {"iso_a8_52x74mm", {millimetres(52), millimetres(74)}},
    {"iso_b5_176x250mm", {millimetres(176), millimetres(250)}},
    {"iso_b6_125x176mm", {millimetres(125), millimetres(176)}},
    {"iso_c5_162x229mm", {millimetres(162), millimetres(229)}},
    {"iso_c6_114x162mm", {millimetres(114), millimetres(162)}},
    {"iso_dl_110x220mm", {millimetres(110), millimetres(220)}},
    {"jis_b5_182x257mm", {millimetres(182), millimetres(257)}},
    {"jis_b6_128x182mm", {millimetres(128), millimetres(182)}},
    {"jpn_hagaki_100x148mm", {millimetres(100), millimetres(148)}},
}};

// A positive decimal number ("4", "2.25", "105") as micrometres at the unit's scale.
std::optional<std::int32_t> read_dimension(std::string_view text, double um_per_unit) noexcept {
  if (text.empty() || text.front() == '.' || text.back() == '.') return std::nullopt;
  for (const char c : text) {
    if ((c < '0' || c > '9') && c != '.') return std::nullopt;
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  const double um = value * um_per_unit;
  if (!(um >= SMALLEST_MEDIA_UM) || um > LARGEST_MEDIA_UM) return std::nullopt;
  return static_cast<std::int32_t>(std::llround(um));
}

// A count of ten-thousandths ("22500" -> "2.25", decimals 4), thousandths ("5" -> "0.005") or
// tenths ("1003" -> "100.3"); a negative count, which no media has, as 0.
std::string decimal(std::int64_t value, int decimals) {
  value = std::max<std::int64_t>(value, 0);
  const std::int64_t scale = decimals == 4 ? 10'000 : decimals == 3 ? 1000 : 10;
  std::string text = std::to_string(value / scale);
  std::string fraction = std::to_string(value % scale);
  fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

std::string dimensions_in_unit(MediaSize size) {
  const auto sixteenths = [](std::int32_t um) {
    return std::llround(static_cast<double>(um) / UM_PER_SIXTEENTH_INCH);
  };
  const auto whole_sixteenths = [&](std::int32_t um) {
    return sixteenths(um) > 0 &&
           std::abs(static_cast<double>(sixteenths(um)) * UM_PER_SIXTEENTH_INCH - um) <=
               SIXTEENTH_INCH_SLACK_UM;
  };
  if (whole_sixteenths(size.width_um) && whole_sixteenths(size.height_um)) {
    // One sixteenth is 625 ten-thousandths of an inch.
    return decimal(sixteenths(size.width_um) * 625, 4) + "x" +
           decimal(sixteenths(size.height_um) * 625, 4) + "in";
  }
  // Tenths of a millimetre, or micrometres for a side below a tenth, which would read as 0.
  const auto millimetres = [](std::int32_t um) {
    return um < 50 ? decimal(um, 3) : decimal((static_cast<std::int64_t>(um) + 50) / 100, 1);
  };
  return millimetres(size.width_um) + "x" + millimetres(size.height_um) + "mm";
}

}  // namespace

std::optional<MediaSize> media_size_of_name(std::string_view name) noexcept {
  const std::size_t last = name.rfind('_');
  if (last == std::string_view::npos || last == 0) return std::nullopt;
  std::string_view dimensions = name.substr(last + 1);
  double um_per_unit = 0;
  if (dimensions.ends_with("in")) {
    um_per_unit = UM_PER_INCH;
  } else if (dimensions.ends_with("mm")) {
    um_per_unit = 1000;
  } else {
    return std::nullopt;
  }
  dimensions.remove_suffix(2);
  const std::size_t x = dimensions.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto width = read_dimension(dimensions.substr(0, x), um_per_unit);
  const auto height = read_dimension(dimensions.substr(x + 1), um_per_unit);
  if (!width || !height) return std::nullopt;
  return MediaSize{*width, *height};
}

std::optional<MediaSize> media_size_of(double width, double height, double um_per_unit) noexcept {
  const double width_um = width * um_per_unit;
  const double height_um = height * um_per_unit;
  // Compared before the conversion: a double beyond 32 bits does not convert.
  const auto within = [](double um) {
    return um >= SMALLEST_MEDIA_UM - 0.5 && um < LARGEST_MEDIA_UM + 0.5;
  };
  if (!within(width_um) || !within(height_um)) return std::nullopt;
  const MediaSize size{static_cast<std::int32_t>(std::llround(width_um)),
                       static_cast<std::int32_t>(std::llround(height_um))};
  if (!within_media_limits(size)) return std::nullopt;
  return size;
}

std::string media_name_of_paper(std::string_view own_name, MediaSize size) {
  const auto is_upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  const auto is_lower = [](char c) { return c >= 'a' && c <= 'z'; };
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  std::string keyword;
  char previous = '\0';
  for (const char c : own_name) {
    const bool alnum = is_upper(c) || is_lower(c) || is_digit(c);
    // A dash where the words of a driver's name meet ("4x6Margins": "4x-6-margins").
    const bool word_starts = (is_upper(c) && (is_lower(previous) || is_digit(previous))) ||
                             (is_digit(c) && (is_upper(previous) || is_lower(previous)));
    if (!alnum || word_starts) {
      if (!keyword.empty() && keyword.back() != '-') keyword.push_back('-');
    }
    if (alnum) keyword.push_back(is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c);
    previous = c;
  }
  while (!keyword.empty() && keyword.back() == '-') keyword.pop_back();
  if (keyword.empty()) return {};
  const std::string dimensions = dimensions_in_unit(size);
  return (dimensions.ends_with("in") ? "oe_" : "om_") + keyword + "_" + dimensions;
}

std::string custom_media_name(MediaSize size) {
  return "custom_" + dimensions_in_unit(size);
}

std::string media_name_of_size(MediaSize size) {
  for (const StandardMedia& standard : STANDARD_MEDIA) {
    if (same_media_size(standard.size, size, MEDIA_MATCH_TOLERANCE_UM)) {
      return std::string(standard.name);
    }
  }
  return custom_media_name(size);
}

bool same_media_size(MediaSize a, MediaSize b, std::int32_t tolerance_um) noexcept {
  return media_size_distance(a, b) <= tolerance_um;
}

std::int32_t media_size_distance(MediaSize a, MediaSize b) noexcept {
  // In 64 bits: a size read from a driver may be anything.
  const auto apart = [](std::int32_t x, std::int32_t y) {
    return std::abs(static_cast<std::int64_t>(x) - y);
  };
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      std::max(apart(a.width_um, b.width_um), apart(a.height_um, b.height_um)), INT32_MAX));
}

std::string describe_media_size(MediaSize size) {
  const auto tenths_mm = [](std::int32_t um) { return (static_cast<std::int64_t>(um) + 50) / 100; };
  return decimal(tenths_mm(size.width_um), 1) + " x " + decimal(tenths_mm(size.height_um), 1) +
         " mm";
}

PrintFailure media_not_offered(const MediaRequest& media) {
  return PrintFailure{PrintReach::refused,
                      {ErrorCode::MEDIA_UNSUPPORTED,
                       "The selected print queue does not offer the media " + media.name + " (" +
                           describe_media_size(media.size) + ")."}};
}

PrintFailure media_not_applied(const MediaRequest& media, MediaSize page) {
  return PrintFailure{PrintReach::refused,
                      {ErrorCode::MEDIA_MISMATCH,
                       "The selected print queue would print on " + describe_media_size(page) +
                           " instead of the requested media " + media.name + " (" +
                           describe_media_size(media.size) +
                           "): its driver does not apply the selection. Nothing was printed."}};
}

}  // namespace vantrel
