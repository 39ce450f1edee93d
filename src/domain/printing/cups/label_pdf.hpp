#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "domain/printing/label_bitmap.hpp"

namespace vantrel {

// A rectangle on a PDF page in points, from the page's bottom-left corner.
struct PdfBox {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// A PDF of label pages, each the size of the queue's media with one label image drawn in a box,
// without interpolation. A bitmap drawn on several pages is stored once. Greyscale bitmaps are
// stored as one channel, others as RGB. The bitmaps are read, all together, by finish(): they
// must live until it returns.
class LabelPdf {
 public:
  LabelPdf(double page_width_pt, double page_height_pt)
      : page_width_pt_(page_width_pt), page_height_pt_(page_height_pt) {}

  void add_page(const LabelBitmap& bitmap, const PdfBox& box);
  // The whole file.
  [[nodiscard]] std::vector<std::uint8_t> finish() const;

 private:
  struct Image {
    const LabelBitmap* bitmap = nullptr;
    const void* identity = nullptr;  // its pixels or its encoded rows
  };
  struct Page {
    std::size_t image = 0;
    PdfBox box;
  };

  double page_width_pt_;
  double page_height_pt_;
  std::vector<Image> images_;
  std::vector<Page> pages_;
};

}  // namespace vantrel
