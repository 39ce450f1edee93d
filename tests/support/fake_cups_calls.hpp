#pragma once

#include <algorithm>
#include <chrono>
#include <expected>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/printing/cups/cups_calls.hpp"

namespace vantrel::fakes {

// IPP answers as the CUPS calls give them, and a scheduler double that answers them.

inline CupsReply answer(std::uint32_t status, std::string text = "refused") {
  return CupsReply{true, status, std::move(text), 0};
}
inline CupsReply no_answer() {
  return CupsReply{false, 0, "", 110};
}

inline IppAttribute attribute(std::string name, IppValue value) {
  return IppAttribute{std::move(name), {std::move(value)}};
}

// A media-col in hundredths of a millimetre.
inline IppCollection media_col(int width, int length, int left = 0, int top = 0) {
  return IppCollection{{attribute("media-size", IppCollection{{attribute("x-dimension", width),
                                                               attribute("y-dimension", length)}}),
                        attribute("media-left-margin", left), attribute("media-right-margin", 0),
                        attribute("media-top-margin", top), attribute("media-bottom-margin", 0)}};
}

// A 4 x 6 inch label queue at 203 dpi; inches in hundredths of a millimetre.
inline IppAttributes label_queue(int left = 0, int top = 0) {
  return {attribute("printer-is-accepting-jobs", true),
          attribute("printer-resolution-default", IppResolution{203, 203, false}),
          attribute("media-default", std::string("oe_4x6-label_4x6in")),
          attribute("media-col-default", media_col(10160, 15240, left, top)),
          IppAttribute{"media-col-database",
                       {media_col(5080, 7620), media_col(10160, 15240, 1270, 0)}}};
}

inline IppAttributes job_on(std::string printer_uri, int state = 9) {
  return {attribute("job-state", state), attribute("job-printer-uri", std::move(printer_uri))};
}

// A scheduler that answers whatever the test sets up and records what it was asked. Like the
// real one, it answers only the attributes a request names.
class FakeCupsCalls final : public CupsCalls {
 public:
  std::optional<CupsReply> connect_failure;
  std::expected<std::vector<IppAttributes>, CupsReply> printers;
  std::string default_name = "Zebra";
  std::string local_default;
  std::map<std::string, std::expected<IppAttributes, CupsReply>, std::less<>> queues;
  std::vector<CupsOption> lpoptions;
  std::map<std::string, MediaSize, std::less<>> driver_media_names;
  std::expected<IppAttributes, CupsReply> job = job_on("ipp://localhost/printers/Zebra");
  std::expected<std::uint32_t, CupsReply> created = 42u;
  CupsReply sent = answer(0);
  CupsReply cancelled = answer(0);

  std::vector<std::string> calls;  // the requests, in order
  std::vector<CupsOption> job_options;
  std::string job_title;
  std::string pdf;
  int connections = 0;
  int closed = 0;

  std::expected<CupsConnection, CupsReply> connect(std::chrono::steady_clock::time_point) override {
    if (connect_failure) return std::unexpected(*connect_failure);
    ++connections;
    return CupsConnection(this, {this});
  }
  std::expected<std::vector<IppAttributes>, CupsReply> get_printers(
      const CupsConnection&, std::span<const std::string_view>) override {
    return printers;
  }
  std::expected<IppAttributes, CupsReply> get_printer_attributes(
      const CupsConnection&, std::string_view queue,
      std::span<const std::string_view> requested) override {
    calls.emplace_back("get_printer_attributes");
    const auto found = queues.find(queue);
    if (found == queues.end()) return std::unexpected(answer(IPP_STATUS_NOT_FOUND));
    if (!found->second) return found->second;
    IppAttributes asked;
    std::ranges::copy_if(*found->second, std::back_inserter(asked), [&](const IppAttribute& a) {
      return std::ranges::find(requested, a.name) != requested.end();
    });
    return asked;
  }
  std::expected<IppAttributes, CupsReply> get_job_attributes(
      const CupsConnection&, std::string_view, std::uint32_t,
      std::span<const std::string_view>) override {
    return job;
  }
  std::string default_destination(const CupsConnection&) override { return default_name; }
  std::string local_default_destination() override { return local_default; }
  std::vector<CupsOption> user_options(std::string_view) override { return lpoptions; }
  std::optional<MediaSize> media_size_of_driver_name(std::string_view name) override {
    const auto found = driver_media_names.find(name);
    return found == driver_media_names.end() ? std::nullopt : std::optional(found->second);
  }
  std::expected<std::uint32_t, CupsReply> create_job(
      const CupsConnection&, std::string_view, std::string_view title,
      const std::vector<CupsOption>& options) override {
    calls.emplace_back("create_job");
    job_title = title;
    job_options = options;
    return created;
  }
  std::string document_format;
  CupsReply send_document(const CupsConnection&, std::string_view, std::uint32_t,
                          std::span<const std::uint8_t> document,
                          std::string_view format) override {
    calls.emplace_back("send_document");
    pdf.assign(document.begin(), document.end());
    document_format = format;
    return sent;
  }
  CupsReply cancel_job(const CupsConnection&, std::string_view, std::uint32_t job_id) override {
    calls.push_back("cancel_job " + std::to_string(job_id));
    return cancelled;
  }
  void close_connection(void*) noexcept override { ++closed; }
};

}  // namespace vantrel::fakes
