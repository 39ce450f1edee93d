#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "domain/printing/label_bitmap.hpp"
#include "domain/printing/media.hpp"
#include "domain/printing/print_outcome.hpp"

namespace vantrel {

// The seam between the printing rules and one print system (the Windows spooler and GDI in the
// Windows host): what the product needs of it, in its own terms. Every call may block inside
// the system; callers run them under a watchdog.

enum class PrintQueueState : std::uint8_t { unavailable, idle, printing, offline, paused, error };

struct QueueStatus {
  std::string name;  // UTF-8, never empty
  PrintQueueState state = PrintQueueState::unavailable;
};

// What the print system knows of a job it was given.
enum class JobProgress : std::uint8_t {
  queued,     // waiting or printing
  completed,  // printed
  deleted,    // being removed, with nothing certain about its output
  failed,     // given up by the system after an error
  gone,       // the system no longer knows the job
  unknown,    // the system could not be asked
};

// Dots per inch each way.
struct Resolution {
  std::int32_t x_dpi = 0;
  std::int32_t y_dpi = 0;

  bool operator==(const Resolution&) const = default;
};

// The page of a queue as its device reports it: its resolution, and the printable area in device
// pixels.
struct PrintableArea {
  Resolution resolution;
  int width = 0;
  int height = 0;
};

// Where a label lands: device pixels from the top-left corner of the printable area.
struct LabelPlacement {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool operator==(const LabelPlacement&) const = default;
};

// One media a queue offers: its self-describing name, its size, and the part of it that can be
// printed on where the print system tells it.
struct PrinterMedia {
  std::string name;
  MediaSize size;
  std::optional<MediaArea> printable_area;

  bool operator==(const PrinterMedia&) const = default;
};

// What a queue offers, as its print system tells it.
struct PrinterDetails {
  std::string name;  // UTF-8
  PrintQueueState state = PrintQueueState::unavailable;
  bool is_default = false;
  bool color = false;
  std::vector<Resolution> resolutions;
  std::optional<Resolution> default_resolution;
  std::vector<PrinterMedia> media;
  std::string default_media;             // a name of `media`; "" when not known
  std::vector<std::string> ready_media;  // names of `media` loaded now, where known
  // The sizes the queue takes beyond `media`, where its print system tells them.
  std::optional<MediaRange> custom_range;
  // Whether the queue takes printer-language bytes unchanged; nullopt when the system cannot
  // tell.
  std::optional<bool> raw;

  bool operator==(const PrinterDetails&) const = default;
};

// One label document on a queue. Destroying a begun document that was not ended gives it up;
// destroying any document releases the queue.
class LabelDocument {
 public:
  virtual ~LabelDocument() = default;

  [[nodiscard]] virtual PrintableArea printable_area() = 0;
  // Refusals here are certain: nothing will print.
  [[nodiscard]] virtual std::optional<PrintFailure> begin(std::string_view title) = 0;
  // One page with the label drawn at the placement.
  [[nodiscard]] virtual std::optional<PrintFailure> draw_page(const LabelBitmap& bitmap,
                                                              const LabelPlacement& placement) = 0;
  // The job number once the system has the whole document.
  [[nodiscard]] virtual PrintOutcome end() = 0;
};

// What a printer-language document will print on: the media named for it, or else the queue's
// own paper (nullopt when the system cannot tell), and the resolutions the queue prints at
// (empty when it does not tell).
struct RawPage {
  std::optional<MediaSize> size;
  std::vector<Resolution> resolutions;
};

// One document of printer-language bytes, handed to the queue unchanged. write() may be called
// any number of times between begin() and end(), each call's bytes following the last's in one
// job. Destroying a begun document that was not ended gives it up.
class RawDocument {
 public:
  virtual ~RawDocument() = default;

  [[nodiscard]] virtual const RawPage& page() const = 0;
  // Refusals here are certain: nothing will print.
  [[nodiscard]] virtual std::optional<PrintFailure> begin(std::string_view title) = 0;
  [[nodiscard]] virtual std::optional<PrintFailure> write(std::span<const std::uint8_t> bytes) = 0;
  // The job number once the system has the whole document.
  [[nodiscard]] virtual PrintOutcome end() = 0;
};

class PrintSystem {
 public:
  virtual ~PrintSystem() = default;

  // What every listed queue carries as its "uri".
  [[nodiscard]] virtual std::string_view queue_uri() const = 0;
  // Every queue with its state, in the system's order; fails only when there is no list at all.
  [[nodiscard]] virtual Result<std::vector<QueueStatus>> queues() = 0;
  // The user's default queue, or "" when there is none or it cannot be read.
  [[nodiscard]] virtual std::string default_queue() = 0;
  [[nodiscard]] virtual JobProgress job_progress(std::string_view queue, std::uint32_t job_id) = 0;
  // What the queue offers. A queue that cannot be opened fails as open_label_document does.
  [[nodiscard]] virtual Result<PrinterDetails> printer_details(std::string_view queue) = 0;
  // A document on the queue's own paper, or with `media` on that media for this document only:
  // selected, and the page the system will print on read back before anything is spooled.
  // A queue without that media is media_not_offered, a page that differs from it by more than
  // MEDIA_PAGE_TOLERANCE_UM is media_not_applied. A failure here has reached nothing.
  [[nodiscard]] virtual std::expected<std::unique_ptr<LabelDocument>, PrintFailure>
  open_label_document(std::string_view queue, const std::optional<MediaRequest>& media) = 0;
  // A printer-language document on the queue, with `media` naming the page it is meant for
  // (media_not_offered when the queue has no media of that size). Nothing is spooled before
  // begin(). A queue that does not take such bytes unchanged is refused with reach nothing,
  // so that nothing of the attempt is recorded.
  [[nodiscard]] virtual std::expected<std::unique_ptr<RawDocument>, PrintFailure> open_raw_document(
      std::string_view queue, const std::optional<MediaRequest>& media) = 0;
  // The refusal of a label that does not fit the queue's page, in the system's words.
  [[nodiscard]] virtual PrintFailure label_does_not_fit() const = 0;
  // Whether its documents draw a label from its encoded image (LabelBitmap::encoded) without
  // pixels; a label without one is always given decoded.
  [[nodiscard]] virtual bool takes_encoded_images() const noexcept { return false; }
};

}  // namespace vantrel
