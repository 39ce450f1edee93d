#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "domain/messages/submit.hpp"
#include "domain/state/host_state.hpp"
#include "domain/submit/raster_payload.hpp"

namespace vantrel {

inline constexpr std::size_t BATCH_MAX_LABELS = 500;

// A chunk is one spool job. It closes at CHUNK_MAX_LABELS labels, at CHUNK_MAX_PAGES pages
// (copies counted), or at CHUNK_MAX_PIXEL_BYTES of decoded labels (4 bytes a pixel; a chunk's
// labels stay decoded until its job is whole), whichever comes first; a label always goes, alone
// if need be. That keeps one chunk's spooling well inside the watchdog's 12 s and the time any
// other message waits for the lock to one chunk.
inline constexpr std::size_t CHUNK_MAX_LABELS = 25;
inline constexpr std::size_t CHUNK_MAX_PAGES = 100;
inline constexpr std::uint64_t CHUNK_MAX_PIXEL_BYTES = std::uint64_t{128} << 20;
// Printer-language labels close a chunk at CHUNK_MAX_RAW_BYTES of bytes to send (copies counted)
// instead: the spooler takes them as they are.
inline constexpr std::uint64_t CHUNK_MAX_RAW_BYTES = std::uint64_t{16} << 20;

inline constexpr const char* SUBMIT_BATCH_WATCHDOG_LABEL = "submit_batch";

// One label of a "submit_batch" message.
struct BatchLabel {
  std::string intent_id;
  std::uint16_t copies = 0;
  RasterPayload payload;
};

// The payload of a "submit_batch" message: the settings every label shares, and the labels.
struct SubmitBatchRequest {
  std::string printer;
  std::string title;
  std::optional<std::string> media;
  std::uint32_t dpi = 0;
  std::vector<BatchLabel> labels;
  // Printer-language labels may carry commands that change the printer beyond the job
  // ("printer_settings": "allow"), for every label of the batch.
  bool printer_settings_allowed = false;
};

// What a submit of that label alone would have answered.
using LabelAnswer = Result<SubmitAnswer>;

// Prints the new labels of a batch in chunks, each recorded DISPATCHING in one save before its
// job is spooled and settled in one save after, and answers the others from the ledger or with
// their own error. The state's lock is released between chunks and the ledger read afresh for
// the next. BAD_REQUEST for the whole message, with nothing recorded, when the batch itself is
// malformed; otherwise one answer per label, in request order.
[[nodiscard]] Result<std::vector<LabelAnswer>> handle_submit_batch(
    const SubmitBatchRequest& request, HostState& state, SubmitServices& services);

}  // namespace vantrel
