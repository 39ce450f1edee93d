// A printer-language label through the scanner and the fit check. Input: one byte choosing the
// language (low bit) and the label's dpi (203, 300, 600, 72), then the label's bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "domain/submit/raw_label.hpp"
#include "fuzz_check.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  constexpr std::array<std::uint32_t, 4> DPI{203, 300, 600, 72};
  const RawLanguage language = (data[0] & 1) != 0 ? RawLanguage::epl : RawLanguage::zpl;
  const std::uint32_t dpi = DPI[(data[0] >> 1) & 3];
  const std::span<const std::uint8_t> label(data + 1, size - 1);

  const RawLabelScan scan = scan_raw_label(language, label, dpi);
  // The scan is a function of its input, and every size it reports is a size.
  const RawLabelScan again = scan_raw_label(language, label, dpi);
  FUZZ_CHECK(again.geometry == scan.geometry && again.settings_command == scan.settings_command);
  FUZZ_CHECK(!scan.geometry.width_um || *scan.geometry.width_um >= 0);
  FUZZ_CHECK(!scan.geometry.length_um || *scan.geometry.length_um >= 0);
  FUZZ_CHECK(scan.settings_command.size() <= 16);

  // A command found in the label is found after any prefix of plain text is put before it
  // (a newline keeps an EPL line its own).
  if (!scan.settings_command.empty() && size < 4096) {
    std::vector<std::uint8_t> prefixed{'\n'};
    prefixed.insert(prefixed.end(), label.begin(), label.end());
    FUZZ_CHECK(!scan_raw_label(language, prefixed, dpi).settings_command.empty());
  }

  const auto fit =
      check_raw_label_fit(scan.geometry, dpi, MediaSize{101'600, 152'400},
                          {{static_cast<std::int32_t>(dpi), static_cast<std::int32_t>(dpi)}});
  FUZZ_CHECK(!fit || fit->error.code == ErrorCode::MEDIA_MISMATCH);
  return 0;
}
