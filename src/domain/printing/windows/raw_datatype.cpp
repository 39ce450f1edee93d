#include "domain/printing/windows/raw_datatype.hpp"

#include <algorithm>
#include <vector>

namespace vantrel {

RawDatatype read_raw_datatype(Spooler& spooler, const PrinterHandle& printer) {
  constexpr std::u16string_view RAW = u"RAW";
  constexpr std::u16string_view XPS_PASS = u"XPS_PASS";
  const auto processor = spooler.print_processor(printer);
  std::expected<std::vector<std::u16string>, std::uint32_t> datatypes =
      std::unexpected(processor ? 0u : processor.error());
  if (processor) datatypes = spooler.processor_datatypes(*processor);
  if (!datatypes) return RawDatatype{std::u16string(RAW), false};
  // A driver whose attributes cannot be read is taken for a GDI one.
  const auto attributes = spooler.driver_attributes(printer);
  const std::u16string_view wanted =
      attributes && (*attributes & DRIVER_ATTRIBUTE_XPS) != 0 ? XPS_PASS : RAW;
  // Datatype names are compared as Windows compares them: without regard to ASCII case.
  const auto same = [&](const std::u16string& name) {
    return std::ranges::equal(name, wanted, {}, [](char16_t c) {
      return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    });
  };
  if (std::ranges::any_of(*datatypes, same)) return RawDatatype{std::u16string(wanted), true};
  return RawDatatype{{}, true};
}

}  // namespace vantrel
