#include "domain/messages/get_printer.hpp"

#include <algorithm>

#include "domain/messages/list_printers.hpp"
#include "domain/submit/submit_request.hpp"

namespace vantrel {

bool limit_media(PrinterDetails& details, std::size_t limit) {
  if (details.media.size() <= limit) return false;
  const auto always_kept = [&](const PrinterMedia& media) {
    return media.name == details.default_media ||
           std::ranges::find(details.ready_media, media.name) != details.ready_media.end();
  };
  const auto kept_anyway =
      static_cast<std::size_t>(std::ranges::count_if(details.media, always_kept));
  // The others fill what room those leave, in order.
  std::size_t others = limit > kept_anyway ? limit - kept_anyway : 0;
  std::vector<PrinterMedia> kept;
  kept.reserve(limit);
  for (PrinterMedia& media : details.media) {
    if (always_kept(media)) {
      kept.push_back(std::move(media));
    } else if (others > 0) {
      --others;
      kept.push_back(std::move(media));
    }
  }
  details.media = std::move(kept);
  return true;
}

Result<PrinterAnswer> handle_get_printer(std::string_view printer, PrintSystem& system,
                                         Watchdogs& watchdogs) {
  if (auto valid = validate_printer_name(printer); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  auto details = run_guarded(watchdogs, GET_PRINTER_WATCHDOG_LABEL,
                             [&] { return system.printer_details(printer); });
  if (!details) return std::unexpected(std::move(details.error()));
  if (!*details) return std::unexpected(std::move(details->error()));
  PrinterAnswer answer{std::move(**details), false, std::string(system.queue_uri()), false};
  answer.enabled = is_enabled(answer.details.state);
  answer.media_truncated = limit_media(answer.details, MAX_LISTED_MEDIA);
  return answer;
}

}  // namespace vantrel
