// Drives CupsPrintSystem against the scheduler named by CUPS_SERVER, for test_cups_print_system.py.
//   vantrel-cups-probe list
//   vantrel-cups-probe print QUEUE LABEL.png DPI COPIES TITLE [MEDIA]
//   vantrel-cups-probe job QUEUE JOB_ID
//   vantrel-cups-probe media QUEUE
// Prints tab-separated lines: what the print system answered, then figures in milliseconds.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "domain/printing/cups/cups_print_system.hpp"
#include "domain/printing/label_printing.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"

namespace {

using namespace vantrel;
using Clock = std::chrono::steady_clock;

constexpr const char* STATE_WORDS[] = {"unavailable", "idle",   "printing",
                                       "offline",     "paused", "error"};
constexpr const char* PROGRESS_WORDS[] = {"queued", "completed", "deleted",
                                          "failed", "gone",      "unknown"};
constexpr const char* REACH_WORDS[] = {"nothing", "refused", "unknown"};

class Stopwatch {
 public:
  void lap(const char* name) {
    const auto now = Clock::now();
    std::printf("ms\t%s\t%.3f\n", name,
                std::chrono::duration<double, std::milli>(now - start_).count());
    start_ = now;
  }

 private:
  Clock::time_point start_ = Clock::now();
};

int report(const PrintFailure& failure) {
  std::printf("failure\t%s\t%s\t%s\n", REACH_WORDS[static_cast<int>(failure.reach)],
              std::string(error_code_name(failure.error.code)).c_str(),
              failure.error.message.c_str());
  return 1;
}

int list(CupsPrintSystem& system) {
  Stopwatch watch;
  auto queues = system.queues();
  watch.lap("queues");
  if (!queues) {
    std::printf("error\t%s\t%s\n", std::string(error_code_name(queues.error().code)).c_str(),
                queues.error().message.c_str());
    return 1;
  }
  for (const QueueStatus& queue : *queues) {
    std::printf("queue\t%s\t%s\n", queue.name.c_str(), STATE_WORDS[static_cast<int>(queue.state)]);
  }
  std::printf("default\t%s\n", system.default_queue().c_str());
  watch.lap("default");
  return 0;
}

// The steps of print_label one by one, to time each.
int print(CupsPrintSystem& system, const std::string& queue, const std::string& png_path,
          std::uint32_t dpi, std::uint16_t copies, const std::string& title,
          const std::optional<MediaRequest>& media) {
  std::ifstream file(png_path, std::ios::binary);
  const std::vector<std::uint8_t> png{std::istreambuf_iterator<char>(file), {}};
  // As the host gives it: the PNG's rows where a PDF can carry them, else decoded.
  std::optional<LabelBitmap> encoded = encoded_label_image(png);
  auto bitmap = encoded ? Result<LabelBitmap>(std::move(*encoded)) : decode_label_bitmap(png);
  if (!bitmap) {
    std::printf("error\tBAD_PNG\t%s\n", bitmap.error().message.c_str());
    return 2;
  }
  std::printf("image\t%s\n", bitmap->encoded ? "encoded" : "decoded");
  Stopwatch watch;
  auto document = system.open_label_document(queue, media);
  watch.lap("open");
  if (!document) return report(document.error());
  const PrintableArea area = (*document)->printable_area();
  std::printf("area\t%d\t%d\t%d\t%d\n", area.resolution.x_dpi, area.resolution.y_dpi, area.width,
              area.height);
  const auto placement = compute_label_placement(area, bitmap->width, bitmap->height, dpi);
  if (!placement) return report(system.label_does_not_fit());
  std::printf("placement\t%d\t%d\t%d\t%d\n", placement->x, placement->y, placement->width,
              placement->height);
  if (auto refused = (*document)->begin(title)) return report(*refused);
  watch.lap("create_job");
  for (std::uint16_t copy = 0; copy < copies; ++copy) {
    if (auto failed = (*document)->draw_page(*bitmap, *placement)) return report(*failed);
  }
  watch.lap("pages");
  const PrintOutcome outcome = (*document)->end();
  watch.lap("pdf_and_send_document");
  if (!outcome) return report(outcome.error());
  std::printf("job\t%u\n", *outcome);
  return 0;
}

// get_printer's media: "media" and each media as "name x y width height" (micrometres, "-"
// for an unknown area), then "default" and "custom" (the range, or "-").
int media(CupsPrintSystem& system, const std::string& queue) {
  const auto details = system.printer_details(queue);
  if (!details) {
    std::printf("error\t%s\t%s\n", std::string(error_code_name(details.error().code)).c_str(),
                details.error().message.c_str());
    return 1;
  }
  std::printf("media");
  for (const PrinterMedia& one : details->media) {
    const auto& a = one.printable_area;
    if (a) {
      std::printf("\t%s %d %d %d %d", one.name.c_str(), a->x_um, a->y_um, a->width_um,
                  a->height_um);
    } else {
      std::printf("\t%s -", one.name.c_str());
    }
  }
  std::printf("\ndefault\t%s\n", details->default_media.c_str());
  const auto& range = details->custom_range;
  if (range) {
    std::printf("custom\t%d %d %d %d\n", range->smallest.width_um, range->largest.width_um,
                range->smallest.height_um, range->largest.height_um);
  } else {
    std::printf("custom\t-\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  CupsPrintSystem system(system_cups_calls());
  if (args.size() == 1 && args[0] == "list") return list(system);
  if ((args.size() == 6 || args.size() == 7) && args[0] == "print") {
    std::optional<MediaRequest> media;
    if (args.size() == 7) media = MediaRequest{args[6], media_size_of_name(args[6]).value()};
    return print(system, args[1], args[2], static_cast<std::uint32_t>(std::stoul(args[3])),
                 static_cast<std::uint16_t>(std::stoul(args[4])), args[5], media);
  }
  if (args.size() == 2 && args[0] == "media") return media(system, args[1]);
  if (args.size() == 3 && args[0] == "job") {
    const JobProgress progress =
        system.job_progress(args[1], static_cast<std::uint32_t>(std::stoul(args[2])));
    std::printf("progress\t%s\n", PROGRESS_WORDS[static_cast<int>(progress)]);
    return 0;
  }
  std::fprintf(stderr,
               "usage: vantrel-cups-probe list | print QUEUE PNG DPI COPIES TITLE [MEDIA] | "
               "job QUEUE JOB_ID | media QUEUE\n");
  return 2;
}
