#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/owned.hpp"

namespace vantrel {

// IPP status codes the printing rules tell apart; below 0x0100 is success.
inline constexpr std::uint32_t IPP_STATUS_OK_LIMIT = 0x0100;
inline constexpr std::uint32_t IPP_STATUS_NOT_FOUND = 0x0406;
inline constexpr std::uint32_t IPP_STATUS_NOT_ACCEPTING_JOBS = 0x0506;

// How one request to the scheduler ended.
struct CupsReply {
  // The scheduler answered with `status`. Otherwise no answer arrived (no connection, a broken
  // one, the deadline) and the request may or may not have been carried out.
  bool answered = false;
  std::uint32_t status = 0;
  std::string text;  // the library's description of the failure
  int os_error = 0;  // errno, when no answer arrived because a system call failed

  [[nodiscard]] bool ok() const noexcept { return answered && status < IPP_STATUS_OK_LIMIT; }
};

class CupsCalls;

// httpClose through the call table, so that a fake sees every release.
struct CloseCupsConnectionCall {
  CupsCalls* calls = nullptr;
  void operator()(void* native) const noexcept;
};

// A connection of the host's own to the scheduler, closed exactly once.
using CupsConnection = Owned<void*, CloseCupsConnectionCall>;

// One printer of a CUPS-Get-Printers answer; absent attributes stay empty.
struct CupsPrinterRecord {
  std::string name;
  std::optional<int> state;  // printer-state: 3 idle, 4 processing, 5 stopped
  std::optional<bool> accepting_jobs;
  std::vector<std::string> reasons;  // printer-state-reasons
};

// A media size with its margins, in hundredths of a millimetre, as IPP gives them.
struct CupsMedia {
  std::string name;  // what the job's "media" option names it by
  int width = 0;
  int length = 0;
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
};

// What printing on a queue needs to know of it.
struct CupsQueueDescription {
  bool accepting_jobs = false;
  // media-col-default (its name from media-default), through cupsCopyDestInfo.
  std::optional<CupsMedia> default_media;
  // The "media" of the user's lpoptions for the queue ("" for none), and that media as the
  // queue describes it when it knows the name.
  std::string lpoptions_media_name;
  std::optional<CupsMedia> lpoptions_media;
  // printer-resolution-default, dots per inch; 0 when not reported.
  int resolution_x = 0;
  int resolution_y = 0;
};

// One job attribute of Create-Job.
using CupsOption = std::pair<std::string, std::string>;

// The libcups and IPP calls of the CUPS print system, one member per request. The real table
// (cups_calls_posix.cpp) only translates; what an answer means is decided by the callers.
// Every request goes over a connection of the host's own whose waits end at its deadline.
class CupsCalls {
 public:
  virtual ~CupsCalls() = default;

  // httpConnect2 to the user's scheduler with the time left as connect timeout, and
  // httpSetTimeout with a callback that gives up at the deadline.
  virtual std::expected<CupsConnection, CupsReply> connect(
      std::chrono::steady_clock::time_point deadline) = 0;
  // CUPS-Get-Printers: name, state, reasons and whether each accepts jobs.
  virtual std::expected<std::vector<CupsPrinterRecord>, CupsReply> get_printers(
      const CupsConnection& connection) = 0;
  // cupsGetNamedDest with no name: the user's default as lpoptions, the environment and the
  // scheduler give it; "" for none.
  virtual std::string default_destination(const CupsConnection& connection) = 0;
  // cupsGetNamedDest and cupsCopyDestInfo of one queue.
  virtual std::expected<CupsQueueDescription, CupsReply> describe_queue(
      const CupsConnection& connection, std::string_view queue) = 0;
  // Create-Job on the queue: the job id.
  virtual std::expected<std::uint32_t, CupsReply> create_job(
      const CupsConnection& connection, std::string_view queue, std::string_view title,
      const std::vector<CupsOption>& options) = 0;
  // Send-Document with the whole PDF as the job's last document.
  virtual CupsReply send_document(const CupsConnection& connection, std::string_view queue,
                                  std::uint32_t job_id, std::span<const std::uint8_t> pdf) = 0;
  virtual CupsReply cancel_job(const CupsConnection& connection, std::string_view queue,
                               std::uint32_t job_id) = 0;
  // Get-Job-Attributes: the job-state (3 pending ... 9 completed).
  virtual std::expected<int, CupsReply> job_state(const CupsConnection& connection,
                                                  std::string_view queue, std::uint32_t job_id) = 0;
  // Reached through CupsConnection.
  virtual void close_connection(void* native) noexcept = 0;
};

inline void CloseCupsConnectionCall::operator()(void* native) const noexcept {
  calls->close_connection(native);
}

// The real libcups of the host (cups_calls_posix.cpp).
[[nodiscard]] CupsCalls& system_cups_calls();

}  // namespace vantrel
