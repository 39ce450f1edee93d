#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "domain/printing/cups/cups_calls.hpp"
#include "domain/printing/cups/cups_media.hpp"
#include "domain/printing/print_system.hpp"

namespace vantrel {

// How long one use of the scheduler may take, connecting included: a listing makes two and a
// failed print a document and a cancel, which all end inside the 12 s watchdog.
inline constexpr std::chrono::milliseconds CUPS_REQUEST_BUDGET{5000};

// The print system of the Linux (and macOS) host: a CUPS scheduler, reached over a connection of
// the host's own for each use. The rules of IPP and CUPS live here (which attributes each use
// asks for and what they mean: state words, media and printable area, the Create-Job /
// Send-Document / Cancel-Job sequence, job states and what each failure means); the requests go
// through the call table, which a fake drives in the unit tests.
class CupsPrintSystem final : public PrintSystem {
 public:
  explicit CupsPrintSystem(CupsCalls& calls,
                           std::chrono::milliseconds request_budget = CUPS_REQUEST_BUDGET)
      : calls_(calls), request_budget_(request_budget) {}

  std::string_view queue_uri() const override { return "cups"; }
  Result<std::vector<QueueStatus>> queues() override;
  std::string default_queue() override;
  JobProgress job_progress(std::string_view queue, std::uint32_t job_id) override;
  Result<PrinterDetails> printer_details(std::string_view queue) override;
  std::expected<std::unique_ptr<LabelDocument>, PrintFailure> open_label_document(
      std::string_view queue, const std::optional<MediaRequest>& media) override;
  std::expected<std::unique_ptr<RawDocument>, PrintFailure> open_raw_document(
      std::string_view queue, const std::optional<MediaRequest>& media) override;
  PrintFailure label_does_not_fit() const override;
  // A PDF carries a PNG's rows as they are: no decoding, no packing again.
  bool takes_encoded_images() const noexcept override { return true; }

 private:
  std::expected<CupsConnection, CupsReply> connect() const;
  // The user's lpoptions media for the queue, read from files; nullopt for none.
  std::optional<UserMedia> user_media(std::string_view queue);

  CupsCalls& calls_;
  std::chrono::milliseconds request_budget_;
};

// One printer of a CUPS-Get-Printers answer; absent attributes stay empty.
struct CupsPrinterRecord {
  std::string name;
  std::optional<int> state;  // printer-state: 3 idle, 4 processing, 5 stopped
  std::optional<bool> accepting_jobs;
  std::vector<std::string> reasons;  // printer-state-reasons
};

// The state word of one printer, first match wins: not accepting jobs or no state -> unavailable;
// an offline reason -> offline; an error-severity reason -> error; stopped -> paused;
// processing -> printing; idle -> idle.
[[nodiscard]] PrintQueueState print_queue_state_from_printer(
    const CupsPrinterRecord& printer) noexcept;

}  // namespace vantrel
