#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/owned.hpp"
#include "domain/printing/media.hpp"

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
  std::string text;  // the scheduler's status message, or the library's description
  int os_error = 0;  // errno, when no answer arrived because a system call failed

  [[nodiscard]] bool ok() const noexcept { return answered && status < IPP_STATUS_OK_LIMIT; }
};

class CupsCalls;

// A connection of the host's own to the scheduler, closed exactly once through the table's
// close_connection.
using CupsConnection = Owned<void*, ReleaseThrough<CupsCalls>>;

// An IPP answer as values, the form the printing rules read: a request names the attributes it
// wants, and a new question is a new name, not a new call.
struct IppResolution {
  int x = 0;
  int y = 0;
  bool per_cm = false;  // dots per centimetre; otherwise per inch
};

struct IppAttribute;

// The member attributes of one collection value, in the answer's order.
struct IppCollection {
  std::vector<IppAttribute> members;
};

// An integer or enum; a boolean; the text of any string syntax (keyword, name, text, URI,
// MIME type); a resolution; a collection. Syntaxes no rule reads (dates, ranges, octet strings)
// and out-of-band values ("no-value", "unknown") are std::monostate.
using IppValue = std::variant<std::monostate, int, bool, std::string, IppResolution, IppCollection>;

struct IppAttribute {
  std::string name;
  std::vector<IppValue> values;
};

// The attributes of one printer or one job, in the answer's order.
using IppAttributes = std::vector<IppAttribute>;

inline const std::vector<IppValue>* values_of(const IppAttributes& attributes,
                                              std::string_view name) {
  const auto found = std::ranges::find(attributes, name, &IppAttribute::name);
  return found == attributes.end() ? nullptr : &found->values;
}

// The attribute's first value when it has the type the rule reads.
template <class T>
const T* first_value(const IppAttributes& attributes, std::string_view name) {
  const std::vector<IppValue>* values = values_of(attributes, name);
  return values && !values->empty() ? std::get_if<T>(&values->front()) : nullptr;
}

// One job attribute of Create-Job.
using CupsOption = std::pair<std::string, std::string>;

// The libcups and IPP calls of the CUPS print system, one member per request, each answer
// translated to values and nothing decided: what an answer means is the callers' rule. Every
// request goes over a connection of the host's own whose waits end at its deadline.
class CupsCalls {
 public:
  virtual ~CupsCalls() = default;

  // httpConnect2 to the user's scheduler with the time left as connect timeout, and
  // httpSetTimeout with a callback that gives up at the deadline.
  virtual std::expected<CupsConnection, CupsReply> connect(
      std::chrono::steady_clock::time_point deadline) = 0;
  // CUPS-Get-Printers: the requested attributes of every queue.
  virtual std::expected<std::vector<IppAttributes>, CupsReply> get_printers(
      const CupsConnection& connection, std::span<const std::string_view> requested) = 0;
  // Get-Printer-Attributes of one queue.
  virtual std::expected<IppAttributes, CupsReply> get_printer_attributes(
      const CupsConnection& connection, std::string_view queue,
      std::span<const std::string_view> requested) = 0;
  // Get-Job-Attributes of a job number, asked of a queue (the scheduler answers with whichever
  // queue's job has that number).
  virtual std::expected<IppAttributes, CupsReply> get_job_attributes(
      const CupsConnection& connection, std::string_view queue, std::uint32_t job_id,
      std::span<const std::string_view> requested) = 0;
  // cupsGetNamedDest with no name: the user's default as lpoptions, the environment and the
  // scheduler give it; "" for none.
  virtual std::string default_destination(const CupsConnection& connection) = 0;
  // The default the user chose on this machine, as cupsGetNamedDest finds it before it asks the
  // scheduler: LPDEST, PRINTER (unless "lp"), then the "Default" line of the user's lpoptions,
  // then the system's; the queue without its instance, "" for none.
  virtual std::string local_default_destination() = 0;
  // The options the user's lpoptions files give the queue (the system's, then the user's own),
  // as cupsGetNamedDest merges them; read from the files, without a request.
  virtual std::vector<CupsOption> user_options(std::string_view queue) = 0;
  // The size a driver's media name ("Letter", "4x6") stands for in libcups' tables of PWG, PPD
  // and legacy names; nullopt outside the host's limits.
  virtual std::optional<MediaSize> media_size_of_driver_name(std::string_view name) = 0;
  // Create-Job on the queue: the job id (0 when the answer carries none).
  virtual std::expected<std::uint32_t, CupsReply> create_job(
      const CupsConnection& connection, std::string_view queue, std::string_view title,
      const std::vector<CupsOption>& options) = 0;
  // Send-Document with the whole document, of that MIME type, as the job's last.
  virtual CupsReply send_document(const CupsConnection& connection, std::string_view queue,
                                  std::uint32_t job_id, std::span<const std::uint8_t> document,
                                  std::string_view document_format) = 0;
  virtual CupsReply cancel_job(const CupsConnection& connection, std::string_view queue,
                               std::uint32_t job_id) = 0;
  // Reached through CupsConnection.
  virtual void close_connection(void* native) noexcept = 0;
  static constexpr auto release = &CupsCalls::close_connection;
};

// The real libcups of the host (cups_calls_posix.cpp).
[[nodiscard]] CupsCalls& system_cups_calls();

}  // namespace vantrel
