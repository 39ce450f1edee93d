#include "domain/submit/raw_label.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vantrel {
namespace {

struct ScanCase {
  const char* name;
  RawLanguage language;
  std::string label;
  std::optional<std::int32_t> width_um;
  std::optional<std::int32_t> length_um;
  std::uint64_t labels;
  std::string settings_command;  // "" for none
};

void PrintTo(const ScanCase& c, std::ostream* out) {
  *out << c.name;
}

class RawLabelScanning : public ::testing::TestWithParam<ScanCase> {};

TEST_P(RawLabelScanning, ReadsTheGeometryAndTheFirstSettingsCommand) {
  const ScanCase& c = GetParam();
  const auto bytes =
      std::span(reinterpret_cast<const std::uint8_t*>(c.label.data()), c.label.size());
  const RawLabelScan scan = scan_raw_label(c.language, bytes, 203);
  EXPECT_EQ(scan.geometry.width_um, c.width_um);
  EXPECT_EQ(scan.geometry.length_um, c.length_um);
  EXPECT_EQ(scan.geometry.labels, c.labels);
  EXPECT_EQ(scan.settings_command, c.settings_command);
}

using std::nullopt;
constexpr auto ZPL = RawLanguage::zpl;
constexpr auto EPL = RawLanguage::epl;

INSTANTIATE_TEST_SUITE_P(
    Table, RawLabelScanning,
    ::testing::Values(
        ScanCase{"Zpl4x6InDots", ZPL, "^XA^PW812^LL1218^FO50,50^FDx^FS^XZ", 101'600, 152'400, 1,
                 ""},
        ScanCase{"ZplUndeclared", ZPL, "^XA^FO50,50^A0N,30^FDx^FS^XZ", nullopt, nullopt, 1, ""},
        ScanCase{"ZplQuantityPerFormat", ZPL, "^XA^PQ3,0,1,Y^XZ\r\n^XA^FDb^FS^XZ", nullopt, nullopt,
                 4, ""},
        ScanCase{"ZplMillimetresAndInches", ZPL, "^XA^MUm^PW101.6^MUi^LL6^XZ", 101'600, 152'400, 1,
                 ""},
        ScanCase{"ZplFormatBaseResolution", ZPL, "^XA^MUd,300,300^PW1200^XZ", 101'600, nullopt, 1,
                 ""},
        ScanCase{"ZplSaveSettingsNamedByItsLetter", ZPL, "^XA^MMT^jus^XZ^XA^XZ", nullopt, nullopt,
                 2, "^JUS"},
        ScanCase{"ZplChangedFormatPrefix", ZPL, "^XA^CC+\n+PW400+JUF+XZ", 50'049, nullopt, 1,
                 "^JUF"},
        ScanCase{"ZplChangedControlPrefix", ZPL, "~CT!^XA!JR^FD~JR^FS^XZ", nullopt, nullopt, 1,
                 "~JR"},
        ScanCase{"ZplFieldDataCannotHideACommand", ZPL, "^XA^FDPrice ~JC now^FS^XZ", nullopt,
                 nullopt, 1, "~JC"},
        ScanCase{"ZplHexEscapedFieldDataIsNoCommand", ZPL, "^XA^FH^FD_5EJUS_7EJR^FS^XZ", nullopt,
                 nullopt, 1, ""},
        ScanCase{"ZplBinaryGraphicIsSteppedOver", ZPL, "^XA^GFB,7,7,1,^JUS~JR^FS^XZ", nullopt,
                 nullopt, 1, ""},
        ScanCase{"ZplDownloadToJobMemoryAllowed", ZPL, "~DGR:LOGO.GRF,2,1,FFFF^XA^XGR:LOGO.GRF^XZ",
                 nullopt, nullopt, 1, ""},
        ScanCase{"ZplDownloadToFlashRefused", ZPL, "~DYE:FONT.TTF,B,T,4,,^XA^XZ^XA^XZ", nullopt,
                 nullopt, 1, "~DY E:"},
        ScanCase{"ZplStoredFormatRefused", ZPL, "^XA^DFE:FORM.ZPL^FS^XZ", nullopt, nullopt, 1,
                 "^DF E:"},
        ScanCase{"SetGetDoSetvarRefused", ZPL, "! U1 setvar \"device.reset\" \"\"\r\n^XA^XZ",
                 nullopt, nullopt, 1, "! U1 setvar"},
        ScanCase{"SetGetDoGetvarAllowed", ZPL, "! U1 getvar \"device.friendly_name\"\r\n", nullopt,
                 nullopt, 0, ""},
        ScanCase{"Epl4x6", EPL, "\nN\nq812\nQ1218,24\nA50,0,0,1,1,1,N,\"x\"\nP2,3\n", 101'600,
                 152'400, 6, ""},
        ScanCase{"EplQuotedDataIsNoCommand", EPL, "N\nA50,0,0,1,1,1,N,\"^default\"\nP1\n", nullopt,
                 nullopt, 1, ""},
        ScanCase{"EplFactoryDefaults", EPL, "^default\r\nN\r\nP1\r\n", nullopt, nullopt, 1,
                 "^default"},
        ScanCase{"EplStoredForm", EPL, "FS\"ADDR\"\nN\nFE\n", nullopt, nullopt, 0, "FS"},
        ScanCase{"EplBinaryGraphicIsSteppedOver", EPL,
                 std::string("N\nGW0,0,2,2,") + "\n^@" + "\xff\n" + "Q400,24\nP1\n", nullopt,
                 50'049, 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RawLabelFit, ChecksTheResolutionThenEachStatedSideAgainstThePage) {
  const MediaSize four_by_six{101'600, 152'400};
  const MediaSize four_by_two{101'600, 50'800};
  const std::vector<Resolution> at_203{{203, 203}};
  RawLabelGeometry label;
  label.width_um = 101'600;
  label.length_um = 152'400;

  EXPECT_EQ(check_raw_label_fit(label, 203, four_by_six, at_203), std::nullopt);
  // Within half a millimetre: a driver's page in points is a little short.
  EXPECT_EQ(check_raw_label_fit(label, 203, MediaSize{101'200, 152'000}, at_203), std::nullopt);
  // Smaller prints as it is; the queue that does not tell its resolutions is not asked.
  EXPECT_EQ(check_raw_label_fit(label, 203, MediaSize{110'000, 160'000}, {}), std::nullopt);

  const auto on_4x2 = check_raw_label_fit(label, 203, four_by_two, at_203);
  ASSERT_TRUE(on_4x2.has_value());
  EXPECT_EQ(on_4x2->reach, PrintReach::refused);
  EXPECT_EQ(on_4x2->error.code, ErrorCode::MEDIA_MISMATCH);

  const auto at_300 = check_raw_label_fit(label, 203, four_by_six, {{300, 300}});
  ASSERT_TRUE(at_300.has_value());
  EXPECT_EQ(at_300->error.code, ErrorCode::MEDIA_MISMATCH);
  EXPECT_NE(at_300->error.message.find("203 dpi"), std::string::npos) << at_300->error.message;
  EXPECT_NE(at_300->error.message.find("300 dpi"), std::string::npos) << at_300->error.message;

  // One stated side is checked on its own; an undeclared label needs no page at all.
  RawLabelGeometry length_only;
  length_only.length_um = 152'400;
  EXPECT_TRUE(check_raw_label_fit(length_only, 203, four_by_two, at_203).has_value());
  EXPECT_EQ(check_raw_label_fit(RawLabelGeometry{}, 203, std::nullopt, at_203), std::nullopt);
  EXPECT_EQ(check_raw_label_fit(length_only, 203, std::nullopt, at_203)->reach,
            PrintReach::nothing);
}

TEST(RawLabelPayload, RefusesSettingsUnlessAllowedAndNamesTheOption) {
  RasterPayload payload{"zpl", "XlhBXkpVU15YWg==", 0, 0};  // ^XA^JUS^XZ
  const auto refused = verify_raw_payload(RawLanguage::zpl, payload, 203, false);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, ErrorCode::BAD_REQUEST);
  EXPECT_NE(refused.error().message.find("^JUS"), std::string::npos);
  EXPECT_NE(refused.error().message.find("\"printer_settings\": \"allow\""), std::string::npos);
  EXPECT_TRUE(verify_raw_payload(RawLanguage::zpl, payload, 203, true).has_value());
  payload.base64 = "";
  EXPECT_EQ(verify_raw_payload(RawLanguage::zpl, payload, 203, true).error().code,
            ErrorCode::BAD_REQUEST);
}

}  // namespace
}  // namespace vantrel
