#include "domain/printing/media.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vantrel {
namespace {

struct NameCase {
  std::string name;
  std::optional<MediaSize> size;
};

class MediaNameSize : public ::testing::TestWithParam<NameCase> {};

TEST_P(MediaNameSize, IsReadFromTheLastPartOfASelfDescribingName) {
  EXPECT_EQ(media_size_of_name(GetParam().name), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MediaNameSize,
    ::testing::Values(NameCase{"na_index-4x6_4x6in", MediaSize{101'600, 152'400}},
                      NameCase{"oe_4x6-label_4x6in", MediaSize{101'600, 152'400}},
                      NameCase{"iso_a6_105x148mm", MediaSize{105'000, 148'000}},
                      NameCase{"custom_2.25x1.25in", MediaSize{57'150, 31'750}},
                      NameCase{"custom_label_62x29.5mm", MediaSize{62'000, 29'500}},
                      // What today's clients may send, and malformed sizes: no media of ours.
                      NameCase{"x", std::nullopt}, NameCase{"Letter", std::nullopt},
                      NameCase{"w288h432", std::nullopt}, NameCase{"_4x6in", std::nullopt},
                      NameCase{"na_4x6", std::nullopt}, NameCase{"na_4x6cm", std::nullopt},
                      NameCase{"na_4by6in", std::nullopt}, NameCase{"na_0x6in", std::nullopt},
                      NameCase{"na_.5x6in", std::nullopt}, NameCase{"na_4.x6in", std::nullopt},
                      NameCase{"na_4x-6in", std::nullopt}, NameCase{"na_1e3x6in", std::nullopt},
                      NameCase{"na_99999x6in", std::nullopt}));

struct SizeCase {
  MediaSize size;
  std::string name;
};

class MediaSizeName : public ::testing::TestWithParam<SizeCase> {};

TEST_P(MediaSizeName, IsTheStandardNameWithinHalfAMillimetreElseCustom) {
  const std::string name = media_name_of_size(GetParam().size);
  EXPECT_EQ(name, GetParam().name);
  // Both directions agree: the name says a size within the matching tolerance.
  EXPECT_TRUE(same_media_size(*media_size_of_name(name), GetParam().size, 500)) << name;
}

// Drivers give sizes in tenths of a millimetre (Windows), or hundredths (IPP).
INSTANTIATE_TEST_SUITE_P(
    Sizes, MediaSizeName,
    ::testing::Values(SizeCase{{101'600, 152'400}, "na_index-4x6_4x6in"},
                      SizeCase{{215'900, 279'400}, "na_letter_8.5x11in"},
                      SizeCase{{209'900, 297'000}, "iso_a4_210x297mm"},  // A4 in points
                      SizeCase{{152'400, 101'600}, "custom_6x4in"},      // landscape
                      SizeCase{{101'600, 101'600}, "custom_4x4in"},
                      SizeCase{{57'200, 31'800}, "custom_2.25x1.25in"},
                      SizeCase{{104'800, 209'600}, "custom_4.125x8.25in"},
                      SizeCase{{62'000, 29'000}, "custom_62x29mm"},
                      SizeCase{{62'000, 100'300}, "custom_62x100.3mm"},
                      // Below a tenth of a millimetre: never a name of 0 x 0, which says no size.
                      SizeCase{{40, 1}, "custom_0.04x0.001mm"}));

TEST(MediaNearestOfSize, IsTheNearestWithinHalfAMillimetreNeverASizelessOne) {
  const std::vector<MediaSize> papers{
      {0, 0}, {101'200, 152'400}, {101'500, 152'500}, {101'500, 152'300}};
  const auto same = [](MediaSize size) { return size; };
  EXPECT_EQ(nearest_of_size(papers, {101'600, 152'400}, same), &papers[2]);  // first of equals
  EXPECT_EQ(nearest_of_size(papers, {101'600, 151'700}, same), nullptr);
  EXPECT_EQ(nearest_of_size(papers, {400, 400}, same), nullptr);
}

TEST(MediaRefusals, NameTheMediaAndBothSizes) {
  const MediaRequest request{"na_index-4x6_4x6in", {101'600, 152'400}};
  const PrintFailure offered = media_not_offered(request);
  EXPECT_EQ(offered.reach, PrintReach::refused);
  EXPECT_EQ(offered.error,
            (HostError{ErrorCode::MEDIA_UNSUPPORTED,
                       "The selected print queue does not offer the media na_index-4x6_4x6in "
                       "(101.6 x 152.4 mm)."}));
  const PrintFailure applied = media_not_applied(request, {215'900, 279'400});
  EXPECT_EQ(applied.reach, PrintReach::refused);
  EXPECT_EQ(applied.error.code, ErrorCode::MEDIA_MISMATCH);
  EXPECT_NE(applied.error.message.find("215.9 x 279.4 mm"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
