#include "domain/printing/label_printing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/os_error.hpp"
#include "domain/printing/windows/windows_print_system.hpp"
#include "fake_print_device.hpp"
#include "fake_spooler.hpp"

namespace vantrel {
namespace {

using fakes::FakePrintDevices;

// One label through the Windows print system, the GDI calls going to the fake.
PrintOutcome render_label(FakePrintDevices& devices, std::string_view printer,
                          std::string_view title, const LabelBitmap& bitmap, std::uint32_t dpi,
                          std::uint16_t copies) {
  fakes::FakeSpooler spooler;
  WindowsPrintSystem system(spooler, devices);
  return PrintSystemLabelPrinter(system).print_label(printer, title, bitmap, dpi, copies);
}

LabelBitmap make_bitmap(std::uint32_t width, std::uint32_t height) {
  LabelBitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.pixels = std::make_unique_for_overwrite<std::uint8_t[]>(bitmap.size_bytes());
  std::memset(bitmap.pixels.get(), 0xFF, bitmap.size_bytes());
  return bitmap;
}

struct PlacementCase {
  const char* name;
  PrintableArea caps;
  std::uint32_t width, height, dpi;
  std::optional<LabelPlacement> expected;
};

class LabelPlacementRule : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(LabelPlacementRule, PlacesOrRefuses) {
  const PlacementCase& c = GetParam();
  EXPECT_EQ(compute_label_placement(c.caps, c.width, c.height, c.dpi), c.expected);
}

// A 4 x 6 inch label at 203 dpi is 812 x 1218 pixels.
INSTANTIATE_TEST_SUITE_P(
    Cases, LabelPlacementRule,
    ::testing::Values(
        PlacementCase{"PhysicalSizeFillsTheArea",
                      {300, 300, 1200, 1800},
                      812,
                      1218,
                      203,
                      LabelPlacement{0, 0, 1200, 1800}},
        PlacementCase{"WidthLimitsTheShrink",
                      {300, 300, 1150, 1750},
                      812,
                      1218,
                      203,
                      LabelPlacement{0, 12, 1150, 1725}},
        PlacementCase{
            "SidewaysLabelIsNotRotated", {300, 300, 1200, 1800}, 1218, 812, 203, std::nullopt},
        PlacementCase{"HeightLimitsTheShrink",
                      {300, 300, 1200, 1700},
                      812,
                      1218,
                      203,
                      LabelPlacement{33, 0, 1133, 1700}},
        PlacementCase{"TieLetsTheWidthLimit",
                      {100, 100, 900, 900},
                      1000,
                      1000,
                      100,
                      LabelPlacement{0, 0, 900, 900}},
        PlacementCase{"SmallLabelCentredNotEnlarged",
                      {300, 300, 1200, 1800},
                      203,
                      203,
                      203,
                      LabelPlacement{450, 750, 300, 300}},
        PlacementCase{"ExactlyThreeQuartersFits",
                      {100, 100, 750, 2000},
                      1000,
                      1000,
                      100,
                      LabelPlacement{0, 625, 750, 750}},
        PlacementCase{
            "JustUnderThreeQuartersRefused", {100, 100, 749, 2000}, 1000, 1000, 100, std::nullopt},
        PlacementCase{"ComputedZeroBecomesOne",
                      {100, 100, 4000, 3000},
                      1,
                      4000,
                      100,
                      LabelPlacement{1999, 0, 1, 3000}},
        PlacementCase{"ZeroLogPixelsXUsesTheLabelDpi",
                      {0, 300, 1200, 1800},
                      812,
                      1218,
                      203,
                      LabelPlacement{194, 0, 812, 1800}},
        PlacementCase{"NegativeLogPixelsYUsesTheLabelDpi",
                      {300, -1, 1200, 1800},
                      812,
                      1218,
                      203,
                      LabelPlacement{0, 291, 1200, 1218}},
        PlacementCase{"ZeroHorzResRefused", {300, 300, 0, 1800}, 812, 1218, 203, std::nullopt},
        PlacementCase{"ZeroVertResRefused", {300, 300, 1200, 0}, 812, 1218, 203, std::nullopt},
        PlacementCase{"NaturalSizeZeroRefused", {1, 1, 1200, 1800}, 100, 100, 203, std::nullopt},
        PlacementCase{"ProductsBeyond32BitsInTheNaturalSize",
                      {300000, 300000, 2500000, 2500000},
                      10000,
                      10000,
                      1200,
                      LabelPlacement{0, 0, 2500000, 2500000}},
        PlacementCase{"ProductsBeyond32BitsInTheShrink",
                      {1200, 1200, 160000, 170000},
                      10000,
                      10000,
                      72,
                      LabelPlacement{0, 5000, 160000, 160000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LabelRendering, ThreeCopiesAreOneDocumentOfThreeIdenticalPages) {
  FakePrintDevices devices;
  devices.caps = {{88, 300}, {90, 300}, {8, 1150}, {10, 1750}};
  const LabelBitmap bitmap = make_bitmap(812, 1218);
  const auto job = render_label(devices, "Label", "Shipping", bitmap, 203, 3);
  ASSERT_TRUE(job.has_value()) << job.error().error.message;
  EXPECT_EQ(*job, 42u);
  const std::vector<std::string> page{"StartPage", "StretchDIBits", "EndPage"};
  std::vector<std::string> expected{"CreateDCW(Label)", "GetDeviceCaps(88)", "GetDeviceCaps(90)",
                                    "GetDeviceCaps(8)", "GetDeviceCaps(10)", "StartDocW"};
  for (int copy = 0; copy < 3; ++copy) expected.insert(expected.end(), page.begin(), page.end());
  expected.insert(expected.end(), {"EndDoc", "DeleteDC"});
  EXPECT_EQ(devices.calls, expected);
  EXPECT_FALSE(devices.foreign_dc);

  ASSERT_EQ(devices.drawings.size(), 3u);
  const StretchDibCall& draw = devices.drawings[0].call;
  EXPECT_EQ((std::array{draw.dest_x, draw.dest_y, draw.dest_width, draw.dest_height}),
            (std::array{0, 12, 1150, 1725}));
  EXPECT_EQ((std::array{draw.src_x, draw.src_y, draw.src_width, draw.src_height}),
            (std::array{0, 0, 812, 1218}));
  EXPECT_EQ(draw.bits, bitmap.pixels.get());  // drawn from the caller's bytes, not a copy
  EXPECT_EQ(draw.usage, 0u);                  // DIB_RGB_COLORS
  EXPECT_EQ(draw.rop, 0x00CC0020u);           // SRCCOPY
  for (const auto& drawing : devices.drawings) {
    EXPECT_EQ(drawing.call.bits, draw.bits);
    EXPECT_EQ(drawing.call.info, draw.info);
    EXPECT_EQ(drawing.info, devices.drawings[0].info);
  }
}

TEST(LabelRendering, BitmapHeaderDescribesTopDown32BitRows) {
  FakePrintDevices devices;
  const LabelBitmap bitmap = make_bitmap(812, 1218);
  ASSERT_TRUE(render_label(devices, "Label", "t", bitmap, 203, 1).has_value());
  ASSERT_EQ(devices.drawings.size(), 1u);
  LabelBitmapInfo expected;
  expected.size = 40;
  expected.width = 812;
  expected.height = -1218;
  expected.planes = 1;
  expected.bit_count = 32;
  expected.compression = 0;
  expected.size_image = 4 * 812 * 1218;
  expected.colour0 = {0, 0, 0, 0};
  EXPECT_EQ(devices.drawings[0].info, expected);
}

TEST(LabelRendering, QueueNameAndTitleReachWindowsAsUtf16) {
  FakePrintDevices devices;
  const LabelBitmap bitmap = make_bitmap(100, 100);
  ASSERT_TRUE(render_label(devices, "\xC3\x89tiquettes", "Colis \xE2\x84\x96 7", bitmap, 203, 1)
                  .has_value());
  EXPECT_EQ(devices.device_name, u"\u00C9tiquettes");
  EXPECT_EQ(devices.doc_size, 40);
  EXPECT_EQ(devices.doc_name, u"Colis \u2116 7");
  EXPECT_EQ(devices.doc_output, nullptr);
  EXPECT_EQ(devices.doc_datatype, nullptr);
  EXPECT_EQ(devices.doc_type, 0u);
}

TEST(LabelRendering, QueueWithoutDeviceContextIsPreSubmitUnavailable) {
  FakePrintDevices devices;
  devices.create_dc_error = 1801;
  const LabelBitmap bitmap = make_bitmap(100, 100);
  const auto job = render_label(devices, "Missing", "t", bitmap, 203, 1);
  ASSERT_FALSE(job.has_value());
  EXPECT_EQ(
      job.error(),
      (PrintFailure{PrintReach::nothing,
                    {ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                     "Windows could not open the selected print queue: " + os_error_text(1801)}}));
  EXPECT_EQ(devices.calls, std::vector<std::string>{"CreateDCW(Missing)"});
}

TEST(LabelRendering, LabelThatDoesNotFitIsReleasedWithoutADocument) {
  FakePrintDevices devices;
  const LabelBitmap sideways = make_bitmap(1218, 812);
  const auto job = render_label(devices, "Label", "t", sideways, 203, 1);
  ASSERT_FALSE(job.has_value());
  EXPECT_EQ(job.error(),
            (PrintFailure{PrintReach::refused,
                          {ErrorCode::MEDIA_MISMATCH,
                           "The selected Windows queue's paper size or orientation does not "
                           "safely fit this label."}}));
  EXPECT_EQ(devices.calls.back(), "DeleteDC");
  EXPECT_EQ(devices.calls.size(), 6u);  // CreateDCW, four GetDeviceCaps, DeleteDC
  EXPECT_EQ(devices.deleted, 1);
}

struct FailureCase {
  const char* name;
  FakePrintDevices::Failure failure;
  ErrorCode code;
  const char* text;
  std::vector<std::string> last_calls;  // the log ends with these
};

class RenderingFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(RenderingFailure, IsClassifiedAndReleasesTheContext) {
  const FailureCase& c = GetParam();
  FakePrintDevices devices;
  devices.fail(c.failure);
  const LabelBitmap bitmap = make_bitmap(812, 1218);
  const auto job = render_label(devices, "Label", "t", bitmap, 203, 2);
  ASSERT_FALSE(job.has_value());
  // Only a failure after the document was started may have left a job behind.
  const bool started = c.code == ErrorCode::UNKNOWN_OUTCOME;
  EXPECT_EQ(job.error(), (PrintFailure{started ? PrintReach::unknown : PrintReach::refused,
                                       {c.code, os_error_message(c.text, c.failure.error)}}));
  ASSERT_GE(devices.calls.size(), c.last_calls.size());
  EXPECT_EQ(
      std::vector<std::string>(devices.calls.end() - c.last_calls.size(), devices.calls.end()),
      c.last_calls);
  EXPECT_EQ(devices.deleted, 1);
  EXPECT_FALSE(devices.foreign_dc);
  EXPECT_EQ(std::ranges::count(devices.calls, "AbortDoc"), started ? 1 : 0);
}

constexpr const char* START_PAGE = "Windows could not start the label page";
constexpr const char* RENDER = "Windows could not render the label to the print queue";
constexpr const char* END_PAGE = "Windows could not finish the label page";
constexpr const char* END_DOC =
    "Windows may have queued the label but did not acknowledge the completed document";

INSTANTIATE_TEST_SUITE_P(
    Calls, RenderingFailure,
    ::testing::Values(FailureCase{"StartDocZero",
                                  {"StartDocW", 1, 0, 5},
                                  ErrorCode::SUBMISSION_REJECTED,
                                  "Windows rejected the print job",
                                  {"GetDeviceCaps(10)", "StartDocW", "DeleteDC"}},
                      FailureCase{"StartDocNegative",
                                  {"StartDocW", 1, -1, 1804},
                                  ErrorCode::SUBMISSION_REJECTED,
                                  "Windows rejected the print job",
                                  {"StartDocW", "DeleteDC"}},
                      FailureCase{"StartPage",
                                  {"StartPage", 1, 0, 6},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  START_PAGE,
                                  {"StartDocW", "StartPage", "AbortDoc", "DeleteDC"}},
                      FailureCase{"StartPageOfSecondCopy",
                                  {"StartPage", 2, -3, 6},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  START_PAGE,
                                  {"EndPage", "StartPage", "AbortDoc", "DeleteDC"}},
                      FailureCase{"StretchDIBitsNoLines",
                                  {"StretchDIBits", 1, 0, 8},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  RENDER,
                                  {"StartPage", "StretchDIBits", "AbortDoc", "DeleteDC"}},
                      FailureCase{"StretchDIBitsGdiError",
                                  {"StretchDIBits", 2, -1, 1450},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  RENDER,
                                  {"StartPage", "StretchDIBits", "AbortDoc", "DeleteDC"}},
                      FailureCase{"EndPage",
                                  {"EndPage", 1, 0, 1450},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  END_PAGE,
                                  {"StretchDIBits", "EndPage", "AbortDoc", "DeleteDC"}},
                      FailureCase{"EndDoc",
                                  {"EndDoc", 1, 0, 6},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  END_DOC,
                                  {"EndPage", "EndDoc", "AbortDoc", "DeleteDC"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LabelRendering, OtherStretchResultsCountAsDrawn) {
  // Only 0 and GDI_ERROR mean failure; drivers report line counts their own way.
  FakePrintDevices devices;
  devices.fail(FakePrintDevices::Failure{"StretchDIBits", 1, -2, 0});
  const LabelBitmap bitmap = make_bitmap(812, 1218);
  EXPECT_EQ(render_label(devices, "Label", "t", bitmap, 203, 1), 42u);
  EXPECT_EQ(std::ranges::count(devices.calls, "AbortDoc"), 0);
}

}  // namespace
}  // namespace vantrel
