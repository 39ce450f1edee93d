#include "domain/printing/windows/printer_settings.hpp"

#include <cstring>

#include "base/os_error.hpp"

namespace vantrel {
namespace {

// dmFields bits.
constexpr std::uint32_t FIELD_ORIENTATION = 0x1;
constexpr std::uint32_t FIELD_PAPER = 0x2;
constexpr std::uint32_t FIELD_LENGTH = 0x4;
constexpr std::uint32_t FIELD_WIDTH = 0x8;
constexpr std::uint32_t FIELD_FORM_NAME = 0x10000;

constexpr std::int16_t PORTRAIT = 1;      // DMORIENT_PORTRAIT
constexpr std::int16_t LANDSCAPE = 2;     // DMORIENT_LANDSCAPE
constexpr std::int16_t PAPER_USER = 256;  // DMPAPER_USER: the size in dmPaperWidth, dmPaperLength

constexpr std::int32_t UM_PER_TENTH_MM = 100;

std::int16_t tenths_of_mm(std::int32_t um) noexcept {
  return static_cast<std::int16_t>((um + UM_PER_TENTH_MM / 2) / UM_PER_TENTH_MM);
}

}  // namespace

PrinterSettings::PrinterSettings(int size)
    : words_((static_cast<std::size_t>(size) + 7) / 8), size_(size) {}

template <class T>
T PrinterSettings::field(std::size_t offset) const noexcept {
  T value;
  std::memcpy(&value, data() + offset, sizeof value);
  return value;
}

template <class T>
void PrinterSettings::set_field(std::size_t offset, T value) noexcept {
  std::memcpy(reinterpret_cast<std::byte*>(words_.data()) + offset, &value, sizeof value);
}

Result<PrinterSettings> PrinterSettings::read_default(Spooler& spooler,
                                                      const PrinterHandle& printer,
                                                      const std::u16string& device) {
  constexpr std::string_view failure = "Windows could not read the selected print queue's settings";
  const SpoolerValue sized = spooler.document_properties(printer, device, nullptr, nullptr, 0);
  if (sized.value < 0) {
    return fail(ErrorCode::PRE_SUBMIT_UNAVAILABLE, os_error_message(failure, sized.last_error));
  }
  return fill(spooler, printer, device, sized.value, nullptr, failure);
}

Result<PrinterSettings> PrinterSettings::merged(Spooler& spooler, const PrinterHandle& printer,
                                                const std::u16string& device) const {
  return fill(spooler, printer, device, size_, data(),
              "Windows could not select the media on the selected print queue");
}

Result<PrinterSettings> PrinterSettings::fill(Spooler& spooler, const PrinterHandle& printer,
                                              const std::u16string& device, int size,
                                              const std::byte* input,
                                              std::string_view failure_text) {
  const auto invalid = [] {
    return fail(ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                "Windows returned invalid settings for the selected print queue.");
  };
  if (size < static_cast<int>(DEVMODE_FIELDS_END) || size > MAX_SETTINGS_BYTES) return invalid();
  PrinterSettings settings(size);
  const std::uint32_t mode = input == nullptr ? SETTINGS_OUT : SETTINGS_IN | SETTINGS_OUT;
  const SpoolerValue filled = spooler.document_properties(
      printer, device, reinterpret_cast<std::byte*>(settings.words_.data()), input, mode);
  if (filled.value != SETTINGS_OK) {
    return fail(ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                os_error_message(failure_text, filled.last_error));
  }
  // Whatever reads these settings next reads dmSize + dmDriverExtra bytes.
  const int public_bytes = settings.field<std::uint16_t>(DEVMODE_SIZE_OFFSET);
  const int private_bytes = settings.field<std::uint16_t>(DEVMODE_DRIVER_EXTRA_OFFSET);
  if (public_bytes < static_cast<int>(DEVMODE_FIELDS_END) || public_bytes + private_bytes > size) {
    return invalid();
  }
  return settings;
}

std::optional<std::uint16_t> PrinterSettings::paper() const noexcept {
  if ((field<std::uint32_t>(DEVMODE_FIELDS_OFFSET) & FIELD_PAPER) == 0) return std::nullopt;
  return field<std::uint16_t>(DEVMODE_PAPER_OFFSET);
}

void PrinterSettings::select(const PaperChoice& choice) noexcept {
  std::uint32_t fields = field<std::uint32_t>(DEVMODE_FIELDS_OFFSET) | FIELD_ORIENTATION;
  fields &= ~FIELD_FORM_NAME;
  if (choice.paper) {
    fields = (fields | FIELD_PAPER) & ~(FIELD_LENGTH | FIELD_WIDTH);
    set_field<std::int16_t>(DEVMODE_PAPER_OFFSET, static_cast<std::int16_t>(*choice.paper));
  } else {
    // The convention of drivers that take custom sizes. Wine's claims them (DC_FIELDS) and
    // takes none: it selects its paper numbered DMPAPER_USER, or keeps its own, and the page
    // read back refuses that. (Without DM_PAPERSIZE its device context would take the size
    // while its PostScript still asked for the queue's paper.)
    fields |= FIELD_PAPER | FIELD_LENGTH | FIELD_WIDTH;
    set_field(DEVMODE_PAPER_OFFSET, PAPER_USER);
    set_field(DEVMODE_WIDTH_OFFSET, tenths_of_mm(choice.custom.width_um));
    set_field(DEVMODE_LENGTH_OFFSET, tenths_of_mm(choice.custom.height_um));
  }
  set_field(DEVMODE_FIELDS_OFFSET, fields);
  set_field(DEVMODE_ORIENTATION_OFFSET, choice.landscape ? LANDSCAPE : PORTRAIT);
}

}  // namespace vantrel
