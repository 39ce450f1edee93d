#include "domain/messages/list_printers.hpp"

#include <algorithm>

namespace vantrel {

Result<QueueListing> handle_list_printers(PrintSystem& system, Watchdogs& watchdogs) {
  auto listing =
      run_guarded(watchdogs, LIST_PRINTERS_WATCHDOG_LABEL, [&]() -> Result<QueueListing> {
        auto queues = system.queues();
        if (!queues) return std::unexpected(std::move(queues.error()));
        QueueListing listing;
        listing.queues.reserve(queues->size());
        for (QueueStatus& queue : *queues) {
          listing.queues.push_back(PrintQueueInfo{std::move(queue.name), is_enabled(queue.state),
                                                  queue.state, std::string(system.queue_uri())});
        }
        // std::string compares as unsigned bytes, which is the UTF-8 byte order.
        std::ranges::stable_sort(listing.queues, {}, &PrintQueueInfo::name);
        listing.default_printer = system.default_queue();
        return listing;
      });
  if (!listing) return std::unexpected(std::move(listing.error()));
  return std::move(*listing);
}

}  // namespace vantrel
