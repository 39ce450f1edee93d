#include "domain/printing/label_printing.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_print_system.hpp"

namespace vantrel {
namespace {

using fakes::FakePrintSystem;

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
// One row a case, as the table reads.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, LabelPlacementRule,
    ::testing::Values(
        PlacementCase{"PhysicalSizeFillsTheArea", {300, 300, 1200, 1800}, 812, 1218, 203, LabelPlacement{0, 0, 1200, 1800}},
        PlacementCase{"WidthLimitsTheShrink", {300, 300, 1150, 1750}, 812, 1218, 203, LabelPlacement{0, 12, 1150, 1725}},
        PlacementCase{"SidewaysLabelIsNotRotated", {300, 300, 1200, 1800}, 1218, 812, 203, std::nullopt},
        PlacementCase{"HeightLimitsTheShrink", {300, 300, 1200, 1700}, 812, 1218, 203, LabelPlacement{33, 0, 1133, 1700}},
        PlacementCase{"TieLetsTheWidthLimit", {100, 100, 900, 900}, 1000, 1000, 100, LabelPlacement{0, 0, 900, 900}},
        PlacementCase{"SmallLabelCentredNotEnlarged", {300, 300, 1200, 1800}, 203, 203, 203, LabelPlacement{450, 750, 300, 300}},
        PlacementCase{"ExactlyThreeQuartersFits", {100, 100, 750, 2000}, 1000, 1000, 100, LabelPlacement{0, 625, 750, 750}},
        PlacementCase{"JustUnderThreeQuartersRefused", {100, 100, 749, 2000}, 1000, 1000, 100, std::nullopt},
        PlacementCase{"ComputedZeroBecomesOne", {100, 100, 4000, 3000}, 1, 4000, 100, LabelPlacement{1999, 0, 1, 3000}},
        PlacementCase{"ZeroLogPixelsXUsesTheLabelDpi", {0, 300, 1200, 1800}, 812, 1218, 203, LabelPlacement{194, 0, 812, 1800}},
        PlacementCase{"NegativeLogPixelsYUsesTheLabelDpi", {300, -1, 1200, 1800}, 812, 1218, 203, LabelPlacement{0, 291, 1200, 1218}},
        PlacementCase{"ZeroHorzResRefused", {300, 300, 0, 1800}, 812, 1218, 203, std::nullopt},
        PlacementCase{"ZeroVertResRefused", {300, 300, 1200, 0}, 812, 1218, 203, std::nullopt},
        PlacementCase{"NaturalSizeZeroRefused", {1, 1, 1200, 1800}, 100, 100, 203, std::nullopt},
        PlacementCase{"ProductsBeyond32BitsInTheNaturalSize", {300000, 300000, 2500000, 2500000}, 10000, 10000, 1200, LabelPlacement{0, 0, 2500000, 2500000}},
        PlacementCase{"ProductsBeyond32BitsInTheShrink", {1200, 1200, 160000, 170000}, 10000, 10000, 72, LabelPlacement{0, 5000, 160000, 160000}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The page loop over the print system: what reaches it, in which order, and where it stops.
class LabelPrinting : public ::testing::Test {
 protected:
  LabelPrinting() {
    label.width = 812;  // 4 x 6 inches at 203 dpi; the fake draws nothing, so no pixels
    label.height = 1218;
    printing.area = {300, 300, 1300, 1900};  // room for the label at its physical size
  }

  PrintOutcome print(std::uint16_t copies) {
    return print_label(printing, "Label", "Order 7", label, 203, copies);
  }

  FakePrintSystem printing;
  LabelBitmap label;
};

TEST_F(LabelPrinting, OneDocumentWithAPagePerCopyAtThePlacement) {
  printing.next_job = 4711;
  EXPECT_EQ(print(3), 4711u);
  const LabelPlacement placed{50, 50, 1200, 1800};
  ASSERT_EQ(printing.documents.size(), 1u);
  const FakePrintSystem::Document& document = printing.documents[0];
  EXPECT_EQ(document.queue, "Label");
  EXPECT_EQ(document.title, "Order 7");
  EXPECT_EQ(document.pages, (std::vector<LabelPlacement>{placed, placed, placed}));
  EXPECT_TRUE(document.ended);
  EXPECT_EQ(printing.calls,
            (std::vector<std::string>{"open_label_document Label", "printable_area", "begin",
                                      "draw_page", "draw_page", "draw_page", "end"}));
}

TEST_F(LabelPrinting, LabelThatDoesNotFitIsTheSystemsRefusalBeforeTheDocumentBegins) {
  std::swap(label.width, label.height);  // sideways on a portrait page
  EXPECT_EQ(print(1), std::unexpected(printing.label_does_not_fit()));
  EXPECT_EQ(printing.calls,
            (std::vector<std::string>{"open_label_document Label", "printable_area"}));
}

struct StepFailure {
  const char* step;
  int occurrence;
  std::vector<std::string> calls;  // every call made, the failing one last
};

void PrintTo(const StepFailure& c, std::ostream* out) {
  *out << c.step << " #" << c.occurrence;
}

class LabelPrintingFailure : public LabelPrinting,
                             public ::testing::WithParamInterface<StepFailure> {};

TEST_P(LabelPrintingFailure, StopsAtTheFailingStepAndPassesItsFailureOn) {
  const StepFailure& c = GetParam();
  printing.plan().fail(c.step, 0, c.occurrence);
  EXPECT_EQ(print(2), std::unexpected(printing.failures.at(c.step)));
  EXPECT_EQ(printing.calls, c.calls);
  EXPECT_TRUE(printing.printed.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LabelPrintingFailure,
    ::testing::Values(StepFailure{"open_label_document", 1, {"open_label_document Label"}},
                      StepFailure{
                          "begin", 1, {"open_label_document Label", "printable_area", "begin"}},
                      StepFailure{"draw_page",
                                  2,
                                  {"open_label_document Label", "printable_area", "begin",
                                   "draw_page", "draw_page"}},
                      StepFailure{"end",
                                  1,
                                  {"open_label_document Label", "printable_area", "begin",
                                   "draw_page", "draw_page", "end"}}),
    [](const auto& info) { return std::string(info.param.step); });

}  // namespace
}  // namespace vantrel
