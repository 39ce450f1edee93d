#include <windows.h>
#include <winspool.h>

#include <cstddef>

#include "domain/printing/windows/spooler.hpp"

namespace vantrel {
namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t));
#ifdef _WIN64
static_assert(JOB_INFO_1W_SIZE == sizeof(JOB_INFO_1W));
#endif
static_assert(PAPER_ID_BYTES == sizeof(WORD) && PAPER_SIZE_BYTES == sizeof(POINT));
static_assert(RESOLUTION_BYTES == 2 * sizeof(LONG));
static_assert(DC_FIELDS == CAPABILITY_FIELDS && DC_PAPERS == CAPABILITY_PAPERS &&
              DC_PAPERSIZE == CAPABILITY_PAPER_SIZES && DC_MINEXTENT == CAPABILITY_MIN_EXTENT &&
              DC_MAXEXTENT == CAPABILITY_MAX_EXTENT &&
              DC_ENUMRESOLUTIONS == CAPABILITY_RESOLUTIONS &&
              DC_PAPERNAMES == CAPABILITY_PAPER_NAMES && DC_MEDIAREADY == CAPABILITY_MEDIA_READY &&
              DC_COLORDEVICE == CAPABILITY_COLOR_DEVICE);
// MinGW-w64's headers lack the driver attribute bits.
#ifdef PRINTER_DRIVER_XPS
static_assert(PRINTER_DRIVER_XPS == DRIVER_ATTRIBUTE_XPS);
#endif
static_assert(DM_OUT_BUFFER == SETTINGS_OUT && DM_IN_BUFFER == SETTINGS_IN && IDOK == SETTINGS_OK);
static_assert(offsetof(DEVMODEW, dmSize) == DEVMODE_SIZE_OFFSET &&
              offsetof(DEVMODEW, dmDriverExtra) == DEVMODE_DRIVER_EXTRA_OFFSET &&
              offsetof(DEVMODEW, dmFields) == DEVMODE_FIELDS_OFFSET &&
              offsetof(DEVMODEW, dmOrientation) == DEVMODE_ORIENTATION_OFFSET &&
              offsetof(DEVMODEW, dmPaperSize) == DEVMODE_PAPER_OFFSET &&
              offsetof(DEVMODEW, dmPaperLength) == DEVMODE_LENGTH_OFFSET &&
              offsetof(DEVMODEW, dmPaperWidth) == DEVMODE_WIDTH_OFFSET);

HANDLE native_handle(const PrinterHandle& printer) {
  return static_cast<HANDLE>(printer.get());
}

std::u16string text_of(const WCHAR* text) {
  return text == nullptr ? std::u16string()
                         : std::u16string(reinterpret_cast<const char16_t*>(text));
}

// A query of one variable-size record: counted with no buffer, then filled into one of that
// size; the error of the call that failed.
template <class Call>
std::expected<SpoolerBuffer, std::uint32_t> sized_record(Call call) {
  DWORD needed = 0;
  if (call(nullptr, 0, &needed) != FALSE) needed = 0;
  if (needed == 0) return std::unexpected(static_cast<std::uint32_t>(GetLastError()));
  SpoolerBuffer buffer(needed);
  if (call(reinterpret_cast<LPBYTE>(buffer.data()), needed, &needed) == FALSE) {
    return std::unexpected(static_cast<std::uint32_t>(GetLastError()));
  }
  return buffer;
}

class Win32Spooler final : public Spooler {
 public:
  EnumPrintersReply enum_printers(std::uint32_t flags, std::uint32_t level, std::byte* buffer,
                                  std::uint32_t size) override {
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersReply reply;
    reply.ok = EnumPrintersW(flags, nullptr, level, reinterpret_cast<LPBYTE>(buffer), size, &needed,
                             &returned) != FALSE;
    reply.last_error = GetLastError();
    reply.needed = needed;
    reply.returned = returned;
    if (reply.ok && buffer != nullptr && level == 4) {
      // Never read past the buffer, whatever count came back.
      const DWORD fits = size / sizeof(PRINTER_INFO_4W);
      const auto* records = reinterpret_cast<const PRINTER_INFO_4W*>(buffer);
      for (DWORD i = 0; i < returned && i < fits; ++i) {
        reply.names.push_back(reinterpret_cast<const char16_t*>(records[i].pPrinterName));
      }
    }
    return reply;
  }

  std::expected<PrinterHandle, std::uint32_t> open_printer(const std::u16string& name) override {
    HANDLE handle = nullptr;
    // OpenPrinterW takes a non-const name it does not change.
    if (OpenPrinterW(const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(name.c_str())), &handle,
                     nullptr) == FALSE) {
      return std::unexpected(static_cast<std::uint32_t>(GetLastError()));
    }
    return PrinterHandle(handle, {this});
  }

  GetPrinterReply get_printer(const PrinterHandle& printer, std::uint32_t level, std::byte* buffer,
                              std::uint32_t size) override {
    DWORD needed = 0;
    GetPrinterReply reply;
    reply.ok = GetPrinterW(native_handle(printer), level, reinterpret_cast<LPBYTE>(buffer), size,
                           &needed) != FALSE;
    reply.last_error = GetLastError();
    reply.needed = needed;
    if (reply.ok && buffer != nullptr && level == 6 && size >= sizeof(PRINTER_INFO_6)) {
      reply.status = reinterpret_cast<const PRINTER_INFO_6*>(buffer)->dwStatus;
    }
    return reply;
  }

  GetDefaultPrinterReply get_default_printer(char16_t* buffer, std::uint32_t count) override {
    DWORD units = count;
    GetDefaultPrinterReply reply;
    reply.ok = GetDefaultPrinterW(reinterpret_cast<LPWSTR>(buffer), &units) != FALSE;
    reply.last_error = GetLastError();
    reply.count = units;
    return reply;
  }

  GetJobReply get_job(const PrinterHandle& printer, std::uint32_t job_id, std::uint32_t level,
                      std::byte* buffer, std::uint32_t size) override {
    DWORD needed = 0;
    GetJobReply reply;
    reply.ok = GetJobW(native_handle(printer), job_id, level, reinterpret_cast<LPBYTE>(buffer),
                       size, &needed) != FALSE;
    reply.last_error = GetLastError();
    reply.needed = needed;
    if (reply.ok && buffer != nullptr && level == 1 && size >= sizeof(JOB_INFO_1W)) {
      reply.status = reinterpret_cast<const JOB_INFO_1W*>(buffer)->Status;
    }
    return reply;
  }

  SpoolerValue device_capabilities(const std::u16string& device, std::uint16_t capability,
                                   std::byte* output) override {
    SpoolerValue reply;
    reply.value = DeviceCapabilitiesW(reinterpret_cast<LPCWSTR>(device.c_str()), nullptr,
                                      capability, reinterpret_cast<LPWSTR>(output), nullptr);
    reply.last_error = GetLastError();
    return reply;
  }

  SpoolerValue document_properties(const PrinterHandle& printer, const std::u16string& device,
                                   std::byte* output, const std::byte* input,
                                   std::uint32_t mode) override {
    SpoolerValue reply;
    // DocumentPropertiesW takes a non-const device name and input it does not change.
    reply.value =
        DocumentPropertiesW(nullptr, native_handle(printer),
                            const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(device.c_str())),
                            reinterpret_cast<DEVMODEW*>(output),
                            const_cast<DEVMODEW*>(reinterpret_cast<const DEVMODEW*>(input)), mode);
    reply.last_error = GetLastError();
    return reply;
  }

  std::expected<std::uint32_t, std::uint32_t> driver_attributes(
      const PrinterHandle& printer) override {
    auto record = sized_record([&](LPBYTE buffer, DWORD size, DWORD* needed) {
      return GetPrinterDriverW(native_handle(printer), nullptr, 8, buffer, size, needed);
    });
    if (!record) return std::unexpected(record.error());
    return reinterpret_cast<const DRIVER_INFO_8W*>(record->data())->dwPrinterDriverAttributes;
  }

  std::expected<std::u16string, std::uint32_t> print_processor(
      const PrinterHandle& printer) override {
    auto record = sized_record([&](LPBYTE buffer, DWORD size, DWORD* needed) {
      return GetPrinterW(native_handle(printer), 2, buffer, size, needed);
    });
    if (!record) return std::unexpected(record.error());
    return text_of(reinterpret_cast<const PRINTER_INFO_2W*>(record->data())->pPrintProcessor);
  }

  std::expected<std::vector<std::u16string>, std::uint32_t> processor_datatypes(
      const std::u16string& processor) override {
    DWORD returned = 0;
    auto records = sized_record([&](LPBYTE buffer, DWORD size, DWORD* needed) {
      return EnumPrintProcessorDatatypesW(
          nullptr, const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(processor.c_str())), 1, buffer,
          size, needed, &returned);
    });
    if (!records) return std::unexpected(records.error());
    std::vector<std::u16string> names;
    const auto* infos = reinterpret_cast<const DATATYPES_INFO_1W*>(records->data());
    const std::size_t fits = records->capacity() / sizeof(DATATYPES_INFO_1W);
    for (DWORD i = 0; i < returned && i < fits; ++i) names.push_back(text_of(infos[i].pName));
    return names;
  }

  std::expected<std::uint32_t, std::uint32_t> start_doc_printer(
      const PrinterHandle& printer, const std::u16string& title,
      const std::u16string& datatype) override {
    DOC_INFO_1W doc{};
    doc.pDocName = const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(title.c_str()));
    doc.pDatatype = const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(datatype.c_str()));
    const DWORD job = StartDocPrinterW(native_handle(printer), 1, reinterpret_cast<LPBYTE>(&doc));
    if (job == 0) return std::unexpected(static_cast<std::uint32_t>(GetLastError()));
    return job;
  }

  WritePrinterReply write_printer(const PrinterHandle& printer,
                                  std::span<const std::uint8_t> bytes) override {
    DWORD written = 0;
    WritePrinterReply reply;
    // WritePrinter takes a non-const buffer it does not change.
    reply.ok = WritePrinter(native_handle(printer), const_cast<std::uint8_t*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()), &written) != FALSE;
    reply.last_error = GetLastError();
    reply.written = written;
    return reply;
  }

  SpoolerReply end_doc_printer(const PrinterHandle& printer) override {
    SpoolerReply reply;
    reply.ok = EndDocPrinter(native_handle(printer)) != FALSE;
    reply.last_error = GetLastError();
    return reply;
  }

  void abort_printer(const PrinterHandle& printer) noexcept override {
    AbortPrinter(native_handle(printer));
  }

 private:
  void close_printer(void* native) noexcept override { ClosePrinter(static_cast<HANDLE>(native)); }
};

}  // namespace

Spooler& windows_spooler() {
  static Win32Spooler spooler;
  return spooler;
}

}  // namespace vantrel
