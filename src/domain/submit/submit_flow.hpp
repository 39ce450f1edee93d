#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/error.hpp"
#include "domain/printing/print_outcome.hpp"
#include "domain/state/host_state.hpp"
#include "domain/submit/label_bitmap.hpp"
#include "domain/submit/submit_request.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

// Draws a decoded label on a queue: the job number, or the failure with how far it got.
class LabelPrinter {
 public:
  virtual ~LabelPrinter() = default;
  [[nodiscard]] virtual PrintOutcome print_label(std::string_view printer, std::string_view title,
                                                 const LabelBitmap& bitmap, std::uint32_t dpi,
                                                 std::uint16_t copies) = 0;
};

using BitmapDecoder = Result<LabelBitmap> (*)(std::span<const std::uint8_t> png);

struct SubmitServices {
  Watchdogs& watchdogs;
  LabelPrinter& printer;
  BitmapDecoder decode_bitmap;
};

inline constexpr const char* SUBMIT_WATCHDOG_LABEL = "submit";

// A submit's answer: the attempt as recorded, and whether it was an earlier attempt's.
struct SubmitAnswer {
  bool duplicate = false;
  JobRecord record;
};

// Records the attempt durably before anything reaches Windows, prints it at most once, and
// answers repetitions from the ledger.
[[nodiscard]] Result<SubmitAnswer> handle_submit(const SubmitRequest& request, HostState& state,
                                                 SubmitServices& services);

}  // namespace vantrel
