#pragma once

#include <png.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel {

// Bytes of the decoder's expanded output (palette through its colours, transparency chunk as
// alpha, 1/2/4-bit grey as bytes, 16-bit samples kept) that one label may decode to.
inline constexpr std::uint64_t MAX_DECODED_IMAGE_BYTES = 536'870'912;

// Compressed image data allowed beyond what the last row can need (deflate spends at most 15
// bits on a byte, so twice its bytes) once the rows before it are in. A valid stream ends a few
// bytes after its last row, while libpng inflates any excess to its end just to warn about it:
// a 16 x 16 image with gigabytes of zeros behind its rows would cost seconds per decoding.
inline constexpr std::size_t MAX_IMAGE_DATA_AFTER_LAST_ROW = 65'536;

// A PNG's 4-byte big-endian integer (chunk lengths, the header's sides).
[[nodiscard]] inline std::uint32_t read_png_u32(const std::uint8_t* bytes) noexcept {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

// width * height * bytes per pixel of that expanded output, saturated at 2^63.
[[nodiscard]] std::uint64_t expanded_image_bytes(std::uint32_t width, std::uint32_t height,
                                                 int bit_depth, int color_type,
                                                 bool has_transparency) noexcept;

// One libpng read of a PNG held in memory. libpng reports errors by longjmp; every libpng call
// goes through guarded(), which turns such an error into a false return. The jump lands in
// guarded()'s own frame, so it only skips the frames of the callable and of libpng: callables
// must hold nothing with a destructor. The structs are owned here, outside the jump.
class PngReadSession {
 public:
  explicit PngReadSession(std::span<const std::uint8_t> png) noexcept;
  ~PngReadSession();
  PngReadSession(const PngReadSession&) = delete;
  PngReadSession& operator=(const PngReadSession&) = delete;

  // Reads the signature and every chunk before the image data, then refuses images whose
  // expanded output would exceed MAX_DECODED_IMAGE_BYTES. No image data has been read then.
  [[nodiscard]] bool read_header() noexcept;

  // Inside guarded(), after png_read_update_info: reads every row of every pass (`passes` from
  // png_set_interlace_handling) into `pixels`, row y at y * stride, or nowhere when `pixels` is
  // null; then the chunks after the image data. Before the last row it fails, as libpng errors
  // do, when more image data is unread than that row can need plus
  // MAX_IMAGE_DATA_AFTER_LAST_ROW.
  void read_image(int passes, std::uint8_t* pixels, std::size_t stride);

  template <class F>
  [[nodiscard]] bool guarded(F&& calls) noexcept {
    if (png_ == nullptr || info_ == nullptr) return false;
    if (setjmp(png_jmpbuf(png_))) return false;
    calls();
    return true;
  }

  [[nodiscard]] png_structp png() const noexcept { return png_; }
  [[nodiscard]] png_infop info() const noexcept { return info_; }
  [[nodiscard]] std::uint32_t width() const noexcept { return width_; }
  [[nodiscard]] std::uint32_t height() const noexcept { return height_; }
  [[nodiscard]] int bit_depth() const noexcept { return bit_depth_; }
  [[nodiscard]] int color_type() const noexcept { return color_type_; }

 private:
  static void read_bytes(png_structp png, png_bytep out, std::size_t count);
  // IDAT data at or after `offset`, up to the end of the run of IDAT chunks it lies in.
  [[nodiscard]] std::size_t image_data_from(std::size_t offset) const noexcept;
  // Bytes of one stored row, filter byte included, before any transformation.
  [[nodiscard]] std::size_t stored_row_bytes() const noexcept;

  std::span<const std::uint8_t> input_;
  std::size_t offset_ = 0;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  int bit_depth_ = 0;
  int color_type_ = 0;
};

}  // namespace vantrel
