#include <benchmark/benchmark.h>

#include <cstring>

#include "domain/printing/cups/label_pdf.hpp"

namespace {

// A 4 x 6 in label at 203 dpi, grey like most shipping labels: bars and blocks of black on
// white, so that compression has something to do.
vantrel::LabelBitmap shipping_bitmap() {
  vantrel::LabelBitmap bitmap;
  bitmap.width = 812;
  bitmap.height = 1218;
  bitmap.pixels = std::make_unique_for_overwrite<std::uint8_t[]>(bitmap.size_bytes());
  for (std::uint32_t y = 0; y < bitmap.height; ++y) {
    for (std::uint32_t x = 0; x < bitmap.width; ++x) {
      const bool dark = (y > 700 && y < 900 && (x * 7 / 13) % 3 == 0) ||
                        ((y / 40) % 2 == 0 && y < 600 && x > 60 && x < 60 + (y * 37 % 600));
      std::memset(bitmap.pixels.get() + 4 * (std::size_t{y} * bitmap.width + x), dark ? 0 : 255, 3);
      bitmap.pixels[4 * (std::size_t{y} * bitmap.width + x) + 3] = 255;
    }
  }
  return bitmap;
}

// The document the Linux host sends for a new 4 x 6 label: the page, the image stored once,
// the whole file.
void BM_WriteLabelPdf(benchmark::State& state) {
  const vantrel::LabelBitmap bitmap = shipping_bitmap();
  std::size_t bytes = 0;
  for (auto _ : state) {
    vantrel::LabelPdf pdf(288, 432);
    for (int copy = 0; copy < state.range(0); ++copy) pdf.add_page(bitmap, {0, 0, 288, 432});
    const auto file = pdf.finish();
    bytes = file.size();
    benchmark::DoNotOptimize(file);
  }
  state.counters["pdf_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WriteLabelPdf)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace
