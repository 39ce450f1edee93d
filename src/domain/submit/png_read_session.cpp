#include "domain/submit/png_read_session.hpp"

#include <algorithm>
#include <cstring>

namespace vantrel {
namespace {

// libpng's default handlers print to standard error, which belongs to the host's diagnostics.
[[noreturn]] void on_png_error(png_structp png, png_const_charp /*message*/) {
  png_longjmp(png, 1);
}

void on_png_warning(png_structp /*png*/, png_const_charp /*message*/) {}

}  // namespace

std::uint64_t expanded_image_bytes(std::uint32_t width, std::uint32_t height, int bit_depth,
                                   int color_type, bool has_transparency) noexcept {
  std::uint64_t channels = 0;
  switch (color_type) {
    case PNG_COLOR_TYPE_GRAY:
      channels = has_transparency ? 2 : 1;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      channels = 2;
      break;
    case PNG_COLOR_TYPE_RGB:
      channels = has_transparency ? 4 : 3;
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      channels = 4;
      break;
    case PNG_COLOR_TYPE_PALETTE:
      channels = has_transparency ? 4 : 3;
      break;
    default:
      channels = 4;
      break;
  }
  const std::uint64_t sample_bytes = bit_depth == 16 ? 2 : 1;
  const std::uint64_t pixels = std::uint64_t{width} * height;  // below 2^64 for 32-bit sides
  const std::uint64_t per_pixel = channels * sample_bytes;     // at most 8
  if (pixels > (std::uint64_t{1} << 63) / per_pixel) return std::uint64_t{1} << 63;
  return pixels * per_pixel;
}

PngReadSession::PngReadSession(std::span<const std::uint8_t> png) noexcept : input_(png) {
  png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
  if (png_ == nullptr) return;
  info_ = png_create_info_struct(png_);
  if (info_ == nullptr) return;
  const bool configured = guarded([this] {
    png_set_read_fn(png_, this, &PngReadSession::read_bytes);
    // The decoded-size limit is the only resource limit, so libpng's own cap on the sides goes.
    png_set_user_limits(png_, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    // Only the chunks that shape the pixels are read; text, profiles and the like are skipped
    // unread, so they cost neither memory nor decompression.
    png_set_keep_unknown_chunks(png_, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  });
  if (!configured) png_destroy_read_struct(&png_, &info_, nullptr);  // nulls both
}

PngReadSession::~PngReadSession() {
  if (png_ != nullptr) png_destroy_read_struct(&png_, &info_, nullptr);
}

void PngReadSession::read_bytes(png_structp png, png_bytep out, std::size_t count) {
  auto* self = static_cast<PngReadSession*>(png_get_io_ptr(png));
  if (count > self->input_.size() - self->offset_) png_error(png, "unexpected end of PNG data");
  std::memcpy(out, self->input_.data() + self->offset_, count);
  self->offset_ += count;
}

std::size_t PngReadSession::image_data_from(std::size_t offset) const noexcept {
  constexpr std::size_t SIGNATURE_BYTES = 8;
  constexpr std::size_t CHUNK_HEAD_BYTES = 8;  // length and type
  constexpr std::size_t CRC_BYTES = 4;
  const std::size_t size = input_.size();
  std::size_t left = 0;
  for (std::size_t pos = SIGNATURE_BYTES; pos < size && size - pos >= CHUNK_HEAD_BYTES;) {
    const std::size_t data = pos + CHUNK_HEAD_BYTES;
    const std::size_t length =
        std::min<std::size_t>(read_png_u32(input_.data() + pos), size - data);
    const std::size_t end = data + length;
    const bool idat = std::memcmp(input_.data() + pos + 4, "IDAT", 4) == 0;
    if (size - end >= CRC_BYTES && end + CRC_BYTES <= offset) {  // wholly before the offset
      pos = end + CRC_BYTES;
      continue;
    }
    if (!idat) break;  // the run of image data ends here
    left += end - std::min(end, std::max(data, offset));
    if (size - end < CRC_BYTES) break;
    pos = end + CRC_BYTES;
  }
  return left;
}

std::size_t PngReadSession::stored_row_bytes() const noexcept {
  std::uint64_t channels = 1;  // grey and palette
  if (color_type_ == PNG_COLOR_TYPE_GRAY_ALPHA) channels = 2;
  if (color_type_ == PNG_COLOR_TYPE_RGB) channels = 3;
  if (color_type_ == PNG_COLOR_TYPE_RGB_ALPHA) channels = 4;
  const std::uint64_t bits = std::uint64_t{width_} * channels * static_cast<unsigned>(bit_depth_);
  return static_cast<std::size_t>((bits + 7) / 8 + 1);
}

void PngReadSession::read_image(int passes, std::uint8_t* pixels, std::size_t stride) {
  for (int pass = 0; pass < passes; ++pass) {
    for (std::uint32_t y = 0; y < height_; ++y) {
      // libpng inflates whatever follows the image inside this last call.
      if (pass == passes - 1 && y == height_ - 1 &&
          image_data_from(offset_) > 2 * stored_row_bytes() + MAX_IMAGE_DATA_AFTER_LAST_ROW) {
        png_error(png_, "too much image data after the last row");
      }
      png_read_row(png_, pixels == nullptr ? nullptr : pixels + y * stride, nullptr);
    }
  }
  png_read_end(png_, nullptr);
}

bool PngReadSession::read_header() noexcept {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bit_depth = 0;
  int color_type = 0;
  bool has_transparency = false;
  const bool read = guarded([&] {
    png_read_info(png_, info_);
    png_get_IHDR(png_, info_, &width, &height, &bit_depth, &color_type, nullptr, nullptr, nullptr);
    has_transparency = png_get_valid(png_, info_, PNG_INFO_tRNS) != 0;
  });
  if (!read) return false;
  width_ = width;
  height_ = height;
  bit_depth_ = bit_depth;
  color_type_ = color_type;
  return expanded_image_bytes(width, height, bit_depth, color_type, has_transparency) <=
         MAX_DECODED_IMAGE_BYTES;
}

}  // namespace vantrel
