#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/owned.hpp"

namespace vantrel {

// A buffer for the spooler's variable-size records: 8-byte aligned, its capacity the requested
// size rounded up to a multiple of 8. The size handed to a filling call is still the unrounded
// needed count.
class SpoolerBuffer {
 public:
  explicit SpoolerBuffer(std::uint32_t size)
      : words_(std::make_unique_for_overwrite<std::uint64_t[]>((std::size_t{size} + 7) / 8)),
        capacity_((std::size_t{size} + 7) / 8 * 8) {}

  [[nodiscard]] std::byte* data() noexcept { return reinterpret_cast<std::byte*>(words_.get()); }
  [[nodiscard]] const std::byte* data() const noexcept {
    return reinterpret_cast<const std::byte*>(words_.get());
  }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

 private:
  std::unique_ptr<std::uint64_t[]> words_;
  std::size_t capacity_;
};

class Spooler;

// An open printer handle, closed exactly once through the spooler's close_printer.
using PrinterHandle = Owned<void*, ReleaseThrough<Spooler>>;

// The outcome of one spooler call: its BOOL result and GetLastError read right after it.
struct SpoolerReply {
  bool ok = false;
  std::uint32_t last_error = 0;
};

struct EnumPrintersReply : SpoolerReply {
  std::uint32_t needed = 0;    // bytes
  std::uint32_t returned = 0;  // records
  // pPrinterName of each PRINTER_INFO_4W record, in the spooler's order; pointers into the
  // caller's buffer, absent ones null. Filled only by a successful call with a buffer.
  std::vector<const char16_t*> names;
};

struct GetPrinterReply : SpoolerReply {
  std::uint32_t needed = 0;  // bytes
  // dwStatus of PRINTER_INFO_6; read only by a successful level-6 call with a buffer.
  std::uint32_t status = 0;
};

struct GetDefaultPrinterReply : SpoolerReply {
  std::uint32_t count = 0;  // UTF-16 units, as the call left its count variable
};

struct GetJobReply : SpoolerReply {
  std::uint32_t needed = 0;  // bytes
  // Status of JOB_INFO_1W; read only by a successful level-1 call with a buffer.
  std::uint32_t status = 0;
};

// sizeof(JOB_INFO_1W) in the 64-bit host.
inline constexpr std::uint32_t JOB_INFO_1W_SIZE = 96;

// The int a DeviceCapabilitiesW or DocumentPropertiesW call returned and GetLastError read right
// after it.
struct SpoolerValue {
  int value = 0;
  std::uint32_t last_error = 0;
};

// DeviceCapabilitiesW capabilities, and the bytes of one record of each list.
inline constexpr std::uint16_t CAPABILITY_FIELDS = 1;         // DC_FIELDS: DEVMODE fields taken
inline constexpr std::uint16_t CAPABILITY_PAPERS = 2;         // DC_PAPERS
inline constexpr std::uint16_t CAPABILITY_PAPER_SIZES = 3;    // DC_PAPERSIZE
inline constexpr std::uint16_t CAPABILITY_MIN_EXTENT = 4;     // DC_MINEXTENT
inline constexpr std::uint16_t CAPABILITY_MAX_EXTENT = 5;     // DC_MAXEXTENT
inline constexpr std::uint16_t CAPABILITY_RESOLUTIONS = 13;   // DC_ENUMRESOLUTIONS
inline constexpr std::uint16_t CAPABILITY_PAPER_NAMES = 16;   // DC_PAPERNAMES
inline constexpr std::uint16_t CAPABILITY_MEDIA_READY = 29;   // DC_MEDIAREADY
inline constexpr std::uint16_t CAPABILITY_COLOR_DEVICE = 32;  // DC_COLORDEVICE
inline constexpr std::uint32_t PAPER_ID_BYTES = 2;            // WORD
inline constexpr std::uint32_t PAPER_SIZE_BYTES = 8;          // POINT, tenths of a millimetre
inline constexpr std::uint32_t RESOLUTION_BYTES = 8;          // two LONGs, dots per inch
inline constexpr std::uint32_t PAPER_NAME_UNITS = 64;         // WCHARs, NUL-padded
inline constexpr std::uint32_t PAPER_NAME_BYTES = 2 * PAPER_NAME_UNITS;

// DRIVER_INFO_8W's dwPrinterDriverAttributes bit of a driver built on XPS (a v4 driver).
inline constexpr std::uint32_t DRIVER_ATTRIBUTE_XPS = 0x2;  // PRINTER_DRIVER_XPS

// What one WritePrinter call took.
struct WritePrinterReply : SpoolerReply {
  std::uint32_t written = 0;  // bytes
};

// DocumentPropertiesW modes and its success.
inline constexpr std::uint32_t SETTINGS_OUT = 2;  // DM_OUT_BUFFER
inline constexpr std::uint32_t SETTINGS_IN = 8;   // DM_IN_BUFFER
inline constexpr int SETTINGS_OK = 1;             // IDOK

// The DEVMODEW fields the host reads and sets, by byte offset (checked against the Windows
// headers in spooler_win32.cpp); everything else, the driver's private part included, is
// carried through as the driver wrote it.
inline constexpr std::size_t DEVMODE_SIZE_OFFSET = 68;          // WORD dmSize
inline constexpr std::size_t DEVMODE_DRIVER_EXTRA_OFFSET = 70;  // WORD dmDriverExtra
inline constexpr std::size_t DEVMODE_FIELDS_OFFSET = 72;        // DWORD dmFields
inline constexpr std::size_t DEVMODE_ORIENTATION_OFFSET = 76;   // short dmOrientation
inline constexpr std::size_t DEVMODE_PAPER_OFFSET = 78;         // short dmPaperSize
inline constexpr std::size_t DEVMODE_LENGTH_OFFSET = 80;        // short dmPaperLength
inline constexpr std::size_t DEVMODE_WIDTH_OFFSET = 82;         // short dmPaperWidth
inline constexpr std::size_t DEVMODE_FIELDS_END = 84;

// The Windows spooler calls of the print-output subsystem, one member per call. The Windows
// implementation only translates; every rule lives with the callers.
class Spooler {
 public:
  virtual ~Spooler() = default;

  // EnumPrintersW(flags, no name, level, buffer, size, &needed, &returned); buffer may be null.
  virtual EnumPrintersReply enum_printers(std::uint32_t flags, std::uint32_t level,
                                          std::byte* buffer, std::uint32_t size) = 0;

  // OpenPrinterW(name, &handle, no defaults); name is NUL-terminated UTF-16 (c_str()).
  // The error is GetLastError read right after the failed call.
  virtual std::expected<PrinterHandle, std::uint32_t> open_printer(const std::u16string& name) = 0;

  // GetPrinterW(handle, level, buffer, size, &needed); buffer may be null.
  virtual GetPrinterReply get_printer(const PrinterHandle& printer, std::uint32_t level,
                                      std::byte* buffer, std::uint32_t size) = 0;

  // GetDefaultPrinterW(buffer, &count) with count holding `count` on entry; buffer may be null.
  virtual GetDefaultPrinterReply get_default_printer(char16_t* buffer, std::uint32_t count) = 0;

  // GetJobW(handle, job_id, level, buffer, size, &needed); buffer may be null.
  virtual GetJobReply get_job(const PrinterHandle& printer, std::uint32_t job_id,
                              std::uint32_t level, std::byte* buffer, std::uint32_t size) = 0;

  // DeviceCapabilitiesW(device, no port, capability, output, no DEVMODE); output may be null.
  // The call takes no size: output holds what the same call without it counted.
  virtual SpoolerValue device_capabilities(const std::u16string& device, std::uint16_t capability,
                                           std::byte* output) = 0;

  // DocumentPropertiesW(no window, printer, device, output, input, mode); output and input may
  // be null. device is NUL-terminated.
  virtual SpoolerValue document_properties(const PrinterHandle& printer,
                                           const std::u16string& device, std::byte* output,
                                           const std::byte* input, std::uint32_t mode) = 0;

  // Printer-language documents. The three queries are sized and filled inside (one record
  // each); the error is GetLastError of the call that failed.
  // GetPrinterDriverW(handle, no environment, 8): DRIVER_INFO_8W's dwPrinterDriverAttributes.
  virtual std::expected<std::uint32_t, std::uint32_t> driver_attributes(
      const PrinterHandle& printer) = 0;
  // GetPrinterW(handle, 2): PRINTER_INFO_2W's pPrintProcessor.
  virtual std::expected<std::u16string, std::uint32_t> print_processor(
      const PrinterHandle& printer) = 0;
  // EnumPrintProcessorDatatypesW(no server, processor, 1): each DATATYPES_INFO_1W's pName.
  virtual std::expected<std::vector<std::u16string>, std::uint32_t> processor_datatypes(
      const std::u16string& processor) = 0;
  // StartDocPrinterW(handle, 1, DOC_INFO_1W{title, no output file, datatype}): the job id.
  virtual std::expected<std::uint32_t, std::uint32_t> start_doc_printer(
      const PrinterHandle& printer, const std::u16string& title,
      const std::u16string& datatype) = 0;
  // WritePrinter(handle, bytes, size, &written); size at most 2^32 - 1.
  virtual WritePrinterReply write_printer(const PrinterHandle& printer,
                                          std::span<const std::uint8_t> bytes) = 0;
  virtual SpoolerReply end_doc_printer(const PrinterHandle& printer) = 0;
  // Result ignored: the document is being given up anyway.
  virtual void abort_printer(const PrinterHandle& printer) noexcept = 0;

  // ClosePrinter; its result is of no use to anyone. Reached through PrinterHandle.
  virtual void close_printer(void* native) noexcept = 0;
  static constexpr auto release = &Spooler::close_printer;
};

// The real spooler of the Windows host (spooler_win32.cpp).
[[nodiscard]] Spooler& windows_spooler();

}  // namespace vantrel
