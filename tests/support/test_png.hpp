#pragma once

// Builds PNG files in memory with libpng's writer, for the decoding tests and benchmarks.

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel::test_png {

struct PngLayout {
  std::uint32_t width = 16;
  std::uint32_t height = 16;
  int bit_depth = 8;
  int color_type = PNG_COLOR_TYPE_RGB_ALPHA;
  bool interlaced = false;
  std::vector<png_color> palette;           // colour type 3
  std::vector<std::uint8_t> palette_alpha;  // tRNS of a palette image
  std::optional<png_color_16> transparent;  // tRNS of a grey or RGB image
  int compression_level = 6;
  bool filter_none = false;  // faster to write for large flat images
};

inline PngLayout png_layout(std::uint32_t width, std::uint32_t height, int bit_depth,
                            int color_type, bool interlaced = false) {
  PngLayout layout;
  layout.width = width;
  layout.height = height;
  layout.bit_depth = bit_depth;
  layout.color_type = color_type;
  layout.interlaced = interlaced;
  return layout;
}

// fill_row(y, row) writes row y in PNG's packed form (16-bit samples big-endian, sub-byte
// samples packed from the high bits). An interlaced image asks for each row once per pass.
using RowFiller = std::function<void(std::uint32_t y, std::uint8_t* row)>;

namespace detail {
struct WriteState {
  std::vector<std::uint8_t>* out;
};
inline void write_bytes(png_structp png, png_bytep data, std::size_t size) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  state->out->insert(state->out->end(), data, data + size);
}
inline void flush_nothing(png_structp) {}
inline bool write_guarded(png_structp png, png_infop info, const PngLayout& layout,
                          const RowFiller& fill_row, std::vector<std::uint8_t>& row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, layout.width, layout.height, layout.bit_depth, layout.color_type,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!layout.palette.empty()) {
    png_set_PLTE(png, info, layout.palette.data(), static_cast<int>(layout.palette.size()));
  }
  if (!layout.palette_alpha.empty()) {
    png_set_tRNS(png, info, layout.palette_alpha.data(),
                 static_cast<int>(layout.palette_alpha.size()), nullptr);
  }
  if (layout.transparent) png_set_tRNS(png, info, nullptr, 0, &*layout.transparent);
  png_set_compression_level(png, layout.compression_level);
  if (layout.filter_none) png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  row.resize(png_get_rowbytes(png, info));
  for (int pass = 0; pass < passes; ++pass) {
    for (std::uint32_t y = 0; y < layout.height; ++y) {
      fill_row(y, row.data());
      png_write_row(png, row.data());
    }
  }
  png_write_end(png, nullptr);
  return true;
}
}  // namespace detail

inline std::vector<std::uint8_t> write_png(const PngLayout& layout, const RowFiller& fill_row) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> row;
  detail::WriteState state{&out};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &state, detail::write_bytes, detail::flush_nothing);
  const bool written = detail::write_guarded(png, info, layout, fill_row, row);
  png_destroy_write_struct(&png, &info);
  if (!written) throw std::runtime_error("test PNG could not be written");
  return out;
}

inline std::string encode_base64(const std::vector<std::uint8_t>& bytes) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (n > 1) v |= std::uint32_t{bytes[i + 1]} << 8;
    if (n > 2) v |= bytes[i + 2];
    out += ALPHABET[v >> 18 & 63];
    out += ALPHABET[v >> 12 & 63];
    out += n > 1 ? ALPHABET[v >> 6 & 63] : '=';
    out += n > 2 ? ALPHABET[v & 63] : '=';
  }
  return out;
}

// Every row filled with the same bytes.
inline std::vector<std::uint8_t> write_flat_png(PngLayout layout, std::uint8_t fill = 0) {
  layout.filter_none = true;
  layout.compression_level = 1;
  return write_png(layout, [&layout, fill](std::uint32_t, std::uint8_t* row) {
    const std::size_t channels = layout.color_type == PNG_COLOR_TYPE_GRAY         ? 1
                                 : layout.color_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                 : layout.color_type == PNG_COLOR_TYPE_RGB        ? 3
                                 : layout.color_type == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                                                                                  : 1;
    const std::size_t bits = std::size_t{layout.width} * channels * layout.bit_depth;
    std::fill(row, row + (bits + 7) / 8, fill);
  });
}

}  // namespace vantrel::test_png
