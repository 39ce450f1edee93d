#include "domain/printing/queue_listing.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

#include "base/os_error.hpp"
#include "base/utf.hpp"

namespace vantrel {
namespace {

constexpr std::uint32_t PRINTER_STATUS_PAUSED_BIT = 0x1;
constexpr std::uint32_t PRINTER_STATUS_OFFLINE_BIT = 0x80;

constexpr std::uint32_t ENUM_LEVEL = 4;         // PRINTER_INFO_4W: names only
constexpr std::uint32_t STATUS_LEVEL = 6;       // PRINTER_INFO_6: the status word only
constexpr std::uint32_t STATUS_WORD_BYTES = 4;  // sizeof(PRINTER_INFO_6)

std::unexpected<HostError> enumeration_error(std::uint32_t last_error) {
  return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
              os_error_message("Windows could not enumerate print queues", last_error));
}

// Length of a name in the spooler's reply, or npos when no terminator lies within the units we
// accept and within the buffer the spooler filled (a name running past it would be read out of
// bounds).
std::size_t bounded_name_length(const char16_t* name, std::span<const std::byte> filled) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(name);
  const auto begin = reinterpret_cast<std::uintptr_t>(filled.data());
  if (at < begin || at >= begin + filled.size()) return std::u16string_view::npos;
  const std::size_t units =
      std::min((begin + filled.size() - at) / sizeof(char16_t), MAX_QUEUE_NAME_UNITS);
  for (std::size_t i = 0; i < units; ++i) {
    if (name[i] == u'\0') return i;
  }
  return std::u16string_view::npos;
}

}  // namespace

std::string_view print_queue_state_word(PrintQueueState state) noexcept {
  switch (state) {
    case PrintQueueState::unavailable:
      return "unavailable";
    case PrintQueueState::idle:
      return "idle";
    case PrintQueueState::printing:
      return "printing";
    case PrintQueueState::offline:
      return "offline";
    case PrintQueueState::paused:
      return "paused";
    case PrintQueueState::error:
      return "error";
  }
  return "unavailable";
}

PrintQueueState print_queue_state_from_status(std::uint32_t status) noexcept {
  if (status & PRINTER_STATUS_PAUSED_BIT) return PrintQueueState::paused;
  if (status & PRINTER_STATUS_OFFLINE_BIT) return PrintQueueState::offline;
  if (status & PRINTER_PROBLEM_MASK) return PrintQueueState::error;
  if (status & PRINTER_BUSY_MASK) return PrintQueueState::printing;
  return PrintQueueState::idle;
}

PrintQueueState read_print_queue_state(Spooler& spooler, const std::u16string& name) {
  const auto printer = spooler.open_printer(name);
  if (!printer) return PrintQueueState::unavailable;
  const GetPrinterReply sizing = spooler.get_printer(*printer, STATUS_LEVEL, nullptr, 0);
  if (sizing.needed < STATUS_WORD_BYTES) return PrintQueueState::unavailable;
  SpoolerBuffer buffer(sizing.needed);
  const GetPrinterReply filling =
      spooler.get_printer(*printer, STATUS_LEVEL, buffer.data(), sizing.needed);
  if (!filling.ok) return PrintQueueState::unavailable;
  return print_queue_state_from_status(filling.status);
}

Result<std::vector<PrintQueueInfo>> list_print_queues(Spooler& spooler) {
  const EnumPrintersReply sizing = spooler.enum_printers(QUEUE_ENUM_FLAGS, ENUM_LEVEL, nullptr, 0);
  if (sizing.needed == 0) {
    if (!sizing.ok) return enumeration_error(sizing.last_error);
    return std::vector<PrintQueueInfo>{};
  }
  SpoolerBuffer buffer(sizing.needed);
  const EnumPrintersReply filling =
      spooler.enum_printers(QUEUE_ENUM_FLAGS, ENUM_LEVEL, buffer.data(), sizing.needed);
  if (!filling.ok) return enumeration_error(filling.last_error);

  std::vector<PrintQueueInfo> queues;
  if (filling.returned == 0) return queues;
  queues.reserve(filling.names.size());
  for (const char16_t* raw_name : filling.names) {
    if (raw_name == nullptr) continue;
    const std::size_t length = bounded_name_length(raw_name, {buffer.data(), sizing.needed});
    if (length == std::u16string_view::npos) {
      return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                  "Windows returned an invalid print-queue name.");
    }
    std::string name = utf16_to_utf8(std::u16string_view(raw_name, length));
    if (name.empty()) continue;
    // Opened by the name we report, so that listing and printing agree on what it means.
    const PrintQueueState state = read_print_queue_state(spooler, utf8_to_utf16(name));
    queues.push_back(PrintQueueInfo{std::move(name), is_enabled(state), state, "winspool"});
  }
  // std::string compares as unsigned bytes, which is the UTF-8 byte order.
  std::ranges::stable_sort(queues, {}, &PrintQueueInfo::name);
  return queues;
}

std::string read_default_printer(Spooler& spooler) {
  const GetDefaultPrinterReply sizing = spooler.get_default_printer(nullptr, 0);
  if (sizing.count == 0) return {};
  std::u16string buffer(sizing.count, u'\0');
  const GetDefaultPrinterReply filling = spooler.get_default_printer(buffer.data(), sizing.count);
  if (!filling.ok) return {};
  const std::u16string_view units(buffer);
  return utf16_to_utf8(units.substr(0, units.find(u'\0')));
}

Result<QueueListing> handle_list_printers(Spooler& spooler, Watchdogs& watchdogs) {
  auto listing = run_guarded(watchdogs, "list_printers", [&]() -> Result<QueueListing> {
    auto queues = list_print_queues(spooler);
    if (!queues) return std::unexpected(std::move(queues.error()));
    return QueueListing{std::move(*queues), read_default_printer(spooler)};
  });
  if (!listing) return std::unexpected(std::move(listing.error()));
  return std::move(*listing);
}

}  // namespace vantrel
