#include "domain/printing/cups/cups_media.hpp"

#include <gtest/gtest.h>

#include "domain/printing/cups/cups_print_system.hpp"
#include "fake_cups_calls.hpp"

namespace vantrel {
namespace {

using fakes::attribute;
using fakes::FakeCupsCalls;
using fakes::media_col;

IppAttribute keywords(std::string name, std::vector<std::string> words) {
  IppAttribute attribute{std::move(name), {}};
  for (std::string& word : words) attribute.values.emplace_back(std::move(word));
  return attribute;
}

// A media-col with the same margin on every side.
IppCollection bordered(int width, int length, int margin) {
  IppCollection col = media_col(width, length, margin, margin);
  for (IppAttribute& member : col.members) {
    if (member.name == "media-right-margin" || member.name == "media-bottom-margin") {
      member.values = {margin};
    }
  }
  return col;
}

// What CUPS answers for a PPD with "w288h432" and "4x6Margins" (0.1 in margins, the default):
// both attributes in the PPD's order, and no names in media-col-database.
IppAttributes two_papers_of_one_size() {
  return {attribute("printer-is-accepting-jobs", true),
          attribute("printer-resolution-default", IppResolution{203, 203, false}),
          keywords("media-supported", {"na_index-4x6_4x6in", "oe_4x-6-margins_4x6in"}),
          IppAttribute{
              "media-col-database",
              {bordered(10160, 15240, 0), bordered(10160, 15240, 254), bordered(10160, 15240, 0)}},
          attribute("media-col-default", bordered(10160, 15240, 254)),
          attribute("media-default", std::string("oe_4x-6-margins_4x6in"))};
}

TEST(CupsQueueMedia, TwoPapersOfOneSizeAreTwoMediaEachWithItsNameMarginsAndPage) {
  const IppAttributes queue = two_papers_of_one_size();
  const CupsQueueMedia media = queue_media(queue);
  ASSERT_EQ(media.offered.size(), 2u);
  EXPECT_EQ(
      printer_media_of(media.offered[0]),
      (PrinterMedia{"na_index-4x6_4x6in", {101'600, 152'400}, MediaArea{0, 0, 101'600, 152'400}}));
  EXPECT_EQ(
      printer_media_of(media.offered[1]),
      (PrinterMedia{
          "oe_4x-6-margins_4x6in", {101'600, 152'400}, MediaArea{2540, 2540, 96'520, 147'320}}));
  // A job without media prints on the default, and get_printer names that one.
  const auto without = media_without_request(queue, media.offered, std::nullopt);
  ASSERT_TRUE(without.has_value());
  std::vector<CupsMedia> listed = media.offered;
  EXPECT_EQ(listed_name(listed, *without), "oe_4x-6-margins_4x6in");
  EXPECT_EQ(without->left, 254);
  // A job naming either prints on that one.
  for (const CupsMedia& offered : media.offered) {
    const auto page = page_for_request(media, MediaRequest{offered.name, size_of(offered)});
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(printer_media_of(*page), printer_media_of(offered));
  }
}

struct UserMediaCase {
  const char* value;  // the user's lpoptions media
  std::optional<MediaSize> size;
  const char* default_media;  // get_printer's default_media on two_papers_of_one_size
};

class CupsUserMedia : public ::testing::TestWithParam<UserMediaCase> {};

// Whatever libcups' tables make of a name (its own arithmetic overflows on some), a size outside
// the host's limits is no media: never listed, never a crash.
TEST_P(CupsUserMedia, SaysASizeWithinTheHostsLimitsOrNone) {
  const UserMediaCase& c = GetParam();
  FakeCupsCalls calls;
  calls.driver_media_names = {{"Letter", {215'900, 279'400}},
                              {"Tray 9", {1'670'000'000, 101'600}},
                              {"Custom.100000000x4in", {1'670'000'000, 101'600}},
                              {"na_x_99999999999x4in", {-2'000'000'000, 101'600}},
                              {"w1e8h10", {-1, 3528}}};
  EXPECT_EQ(size_of_user_media(calls, c.value), c.size);

  calls.queues["Zebra"] = two_papers_of_one_size();
  calls.lpoptions = {{"media", c.value}};
  const auto details = CupsPrintSystem(calls).printer_details("Zebra");
  ASSERT_TRUE(details.has_value());
  EXPECT_EQ(details->default_media, c.default_media);
  for (const PrinterMedia& media : details->media) EXPECT_TRUE(within_media_limits(media.size));
}

INSTANTIATE_TEST_SUITE_P(
    Lpoptions, CupsUserMedia,
    ::testing::Values(
        UserMediaCase{"w288h432", MediaSize{101'600, 152'400}, "na_index-4x6_4x6in"},
        UserMediaCase{"oe_4x-6-margins_4x6in", MediaSize{101'600, 152'400},
                      "oe_4x-6-margins_4x6in"},
        UserMediaCase{"Custom.4x6in", MediaSize{101'600, 152'400}, "na_index-4x6_4x6in"},
        UserMediaCase{"Custom.100x150mm", MediaSize{100'000, 150'000}, "custom_100x150mm"},
        UserMediaCase{"Letter", MediaSize{215'900, 279'400}, "na_letter_8.5x11in"},
        UserMediaCase{"w1e8h10", std::nullopt, ""},
        UserMediaCase{"w99999999h432", std::nullopt, ""},
        UserMediaCase{"na_x_99999999999x4in", std::nullopt, ""},
        UserMediaCase{"w0.001h0.001", std::nullopt, ""},
        UserMediaCase{"Custom.100000000x4in", std::nullopt, ""},
        UserMediaCase{"Tray 9", std::nullopt, ""}));

}  // namespace
}  // namespace vantrel
