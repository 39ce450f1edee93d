#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "host/host_error.hpp"
#include "host/json.hpp"
#include "host/watchdog.hpp"
#include "state/host_state.hpp"
#include "submit/label_bitmap.hpp"
#include "submit/submit_request.hpp"

namespace vantrel {

// Draws a decoded label on a queue: the job number, or an error whose code tells whether
// anything may have reached the spooler (PRE_SUBMIT_UNAVAILABLE: nothing did; UNKNOWN_OUTCOME:
// it may have; anything else: it failed for certain).
class LabelPrinter {
 public:
  virtual ~LabelPrinter() = default;
  [[nodiscard]] virtual Result<std::uint32_t> print_label(std::string_view printer,
                                                          std::string_view title,
                                                          const LabelBitmap& bitmap,
                                                          std::uint32_t dpi,
                                                          std::uint16_t copies) = 0;
};

using BitmapDecoder = Result<LabelBitmap> (*)(std::span<const std::uint8_t> png);

struct SubmitServices {
  Watchdogs& watchdogs;
  LabelPrinter& printer;
  BitmapDecoder decode_bitmap;
};

inline constexpr const char* SUBMIT_WATCHDOG_LABEL = "submit";

// Records the attempt durably before anything reaches Windows, prints it at most once, and
// answers repetitions from the ledger.
[[nodiscard]] Result<JsonValue> handle_submit(const SubmitRequest& request, HostState& state,
                                              SubmitServices& services);

}  // namespace vantrel
