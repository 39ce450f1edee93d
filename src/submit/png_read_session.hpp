#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <span>

namespace vantrel {

// Bytes of the decoder's expanded output (palette through its colours, transparency chunk as
// alpha, 1/2/4-bit grey as bytes, 16-bit samples kept) that one label may decode to.
inline constexpr std::uint64_t MAX_DECODED_IMAGE_BYTES = 536'870'912;

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
