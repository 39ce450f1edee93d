#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "domain/printing/print_system.hpp"
#include "domain/printing/windows/print_device.hpp"
#include "domain/printing/windows/printer_settings.hpp"
#include "domain/printing/windows/spooler.hpp"

namespace vantrel {

// The print system of the Windows host: the spooler for queues and jobs, GDI for label
// documents. The rules of those APIs live here (sizing and filling calls, buffer bounds, status
// words, the GDI document sequence and what each failure means); the calls themselves go
// through the call tables, which a fake drives in the unit tests.
class WindowsPrintSystem final : public PrintSystem {
 public:
  WindowsPrintSystem(Spooler& spooler, PrintDevices& devices)
      : spooler_(spooler), devices_(devices) {}

  std::string_view queue_uri() const override { return "winspool"; }
  Result<std::vector<QueueStatus>> queues() override;
  std::string default_queue() override;
  JobProgress job_progress(std::string_view queue, std::uint32_t job_id) override;
  Result<PrinterDetails> printer_details(std::string_view queue) override;
  std::expected<std::unique_ptr<LabelDocument>, PrintFailure> open_label_document(
      std::string_view queue, const std::optional<MediaRequest>& media) override;
  std::expected<std::unique_ptr<RawDocument>, PrintFailure> open_raw_document(
      std::string_view queue, const std::optional<MediaRequest>& media) override;
  PrintFailure label_does_not_fit() const override;

 private:
  // The queue's default settings with the media's paper selected and merged by its driver.
  std::expected<PrinterSettings, PrintFailure> select_media(const std::u16string& device,
                                                            const MediaRequest& media);

  Spooler& spooler_;
  PrintDevices& devices_;
};

// Printer status bits that keep a queue from printing, and those that mean it is at work.
inline constexpr std::uint32_t PRINTER_PROBLEM_MASK = 0x00FC18FF;
inline constexpr std::uint32_t PRINTER_BUSY_MASK = 0x0001E700;

// The state a PRINTER_INFO_6 status word stands for: paused, offline, problem, busy, else idle.
[[nodiscard]] PrintQueueState print_queue_state_from_status(std::uint32_t status) noexcept;

// What a JOB_INFO_1W Status word says: deleted wins over printed.
[[nodiscard]] JobProgress job_progress_from_status(std::uint32_t status) noexcept;

// Longest queue name the spooler may hand us, terminator included, in UTF-16 units.
inline constexpr std::size_t MAX_QUEUE_NAME_UNITS = 32768;

// EnumPrintersW flags: PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS.
inline constexpr std::uint32_t QUEUE_ENUM_FLAGS = 0x2 | 0x4;

// 32-bit top-down BI_RGB header with one zero colour entry.
[[nodiscard]] LabelBitmapInfo label_bitmap_info(const LabelBitmap& bitmap) noexcept;

// A label of pure black and white pixels as a top-down 1-bit DIB (rows padded to 4 bytes, 1 for
// white), its header with a black and white colour table; nullopt for any other label.
struct BilevelDib {
  LabelBitmapInfo info;
  std::vector<std::uint8_t> bits;
};
[[nodiscard]] std::optional<BilevelDib> bilevel_dib(const LabelBitmap& bitmap);

// The document named title (NUL-terminated UTF-16, kept alive by the caller), default output and
// data type.
[[nodiscard]] LabelDocInfo label_doc_info(const std::u16string& title) noexcept;

}  // namespace vantrel
