#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <random>

#include "domain/submit/base64.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/payload_digest.hpp"
#include "domain/submit/raster_payload.hpp"
#include "test_png.hpp"

namespace {

using vantrel::test_png::encode_base64;
using vantrel::test_png::png_layout;
using vantrel::test_png::write_png;

std::vector<std::uint8_t> random_bytes(std::size_t size) {
  std::mt19937_64 random(42);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

// Close to the 5 MiB limit: RGB noise does not compress.
const std::vector<std::uint8_t>& noisy_png() {
  static const auto png = [] {
    std::mt19937 random(1);
    return write_png(png_layout(1300, 1300, 8, PNG_COLOR_TYPE_RGB),
                     [&random](std::uint32_t, std::uint8_t* row) {
                       for (int i = 0; i < 1300 * 3; ++i)
                         row[i] = static_cast<std::uint8_t>(random());
                     });
  }();
  return png;
}

// The largest label: 10,000 x 10,000 RGBA, black bars on white like a barcode label.
std::vector<std::uint8_t> largest_png(bool interlaced) {
  return write_png(png_layout(10000, 10000, 8, PNG_COLOR_TYPE_RGB_ALPHA, interlaced),
                   [](std::uint32_t y, std::uint8_t* row) {
                     for (std::uint32_t x = 0; x < 10000; ++x) {
                       const std::uint8_t v = ((x / 37 + y / 1000) % 3 == 0) ? 0 : 255;
                       row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = v;
                       row[4 * x + 3] = 255;
                     }
                   });
}

const std::vector<std::uint8_t>& largest_plain_png() {
  static const auto png = largest_png(false);
  return png;
}

const std::vector<std::uint8_t>& largest_interlaced_png() {
  static const auto png = largest_png(true);
  return png;
}

// A label's PNG, made the first time a benchmark that is run asks for it.
using PngMaker = const std::vector<std::uint8_t>& (*)();

void BM_DecodeBase64(benchmark::State& state) {
  const std::string text = encode_base64(random_bytes(vantrel::MAX_LABEL_PNG_BYTES));
  for (auto _ : state) {
    auto bytes = vantrel::decode_base64_strict(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DecodeBase64)->Unit(benchmark::kMillisecond);

void BM_PayloadDigest(benchmark::State& state) {
  const auto png = random_bytes(vantrel::MAX_LABEL_PNG_BYTES);
  for (auto _ : state) {
    auto digest = vantrel::compute_payload_sha256(png, "Label Printer", std::nullopt, 203, 1);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(png.size()));
}
BENCHMARK(BM_PayloadDigest)->Unit(benchmark::kMillisecond);

long max_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A square label of `side` pixels.
void BM_Verify(benchmark::State& state, PngMaker make_png, std::uint32_t side) {
  const std::vector<std::uint8_t>& png = make_png();
  const vantrel::RasterPayload raster{"png", encode_base64(png), side, side};
  const long before_kib = max_rss_kib();
  for (auto _ : state) {
    auto verified = vantrel::verify_raster_payload(raster);
    if (!verified) state.SkipWithError(verified.error().message.c_str());
    benchmark::DoNotOptimize(verified);
  }
  // Run alone to read the growth of the high-water mark: the PNG bytes and a few rows.
  state.counters["verify_peak_bytes"] = static_cast<double>(max_rss_kib() - before_kib) * 1024.0;
  state.counters["png_bytes"] = static_cast<double>(png.size());
}

void BM_Decode(benchmark::State& state, PngMaker make_png) {
  const std::vector<std::uint8_t>& png = make_png();
  const long before_kib = max_rss_kib();
  for (auto _ : state) {
    auto bitmap = vantrel::decode_label_bitmap(png);
    if (!bitmap) state.SkipWithError(bitmap.error().message.c_str());
    benchmark::DoNotOptimize(bitmap);
  }
  // Run alone (--benchmark_filter) to read the growth of the high-water mark as the decoder's
  // own peak: the bitmap plus libpng's and zlib's working memory.
  const long after_kib = max_rss_kib();
  state.counters["peak_rss_MiB"] = static_cast<double>(after_kib) / 1024.0;
  state.counters["decode_peak_bytes"] = static_cast<double>(after_kib - before_kib) * 1024.0;
  state.counters["png_bytes"] = static_cast<double>(png.size());
}

BENCHMARK_CAPTURE(BM_Verify, NoisyLabel, noisy_png, 1300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, NoisyLabel, noisy_png)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Verify, LargestLabel, largest_plain_png, 10000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, LargestLabel, largest_plain_png)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Verify, LargestInterlaced, largest_interlaced_png, 10000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, LargestInterlaced, largest_interlaced_png)
    ->Unit(benchmark::kMillisecond);

}  // namespace
