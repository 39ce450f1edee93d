#include "domain/submit/label_bitmap_decoding.hpp"

#include <new>
#include <string_view>

#include "domain/submit/png_read_session.hpp"

namespace vantrel {
namespace {

std::unexpected<HostError> undecodable(std::string message) {
  return fail(ErrorCode::BAD_REQUEST, std::move(message));
}

// Has libpng itself produce blue, green, red, 255 rows of 8-bit samples from any input. Alpha
// (from the image or from a transparency chunk) is stripped before the filler byte is added,
// which is what "colour as stored" means. libpng's 16-to-8 scaling rounds v * 255 / 65535 to
// nearest, which equals (v + 128) / 257 rounded down for every v.
int configure_bgrx_output(png_structp png, png_infop info) {
  png_set_palette_to_rgb(png);
  png_set_expand_gray_1_2_4_to_8(png);
  png_set_scale_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  // A grey image's three samples are one: turning them round would be a pass for nothing.
  if ((png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR) != 0) png_set_bgr(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  return png_set_interlace_handling(png);
}

}  // namespace

Result<LabelBitmap> decode_label_bitmap(std::span<const std::uint8_t> png) {
  PngReadSession session(png);
  if (!session.read_header())
    return undecodable("The PNG header could not be read or is too large.");

  int passes = 0;
  std::size_t row_bytes = 0;
  int channels = 0;
  int bit_depth = 0;
  const bool configured = session.guarded([&] {
    passes = configure_bgrx_output(session.png(), session.info());
    png_read_update_info(session.png(), session.info());
    row_bytes = png_get_rowbytes(session.png(), session.info());
    channels = png_get_channels(session.png(), session.info());
    bit_depth = png_get_bit_depth(session.png(), session.info());
  });
  LabelBitmap bitmap;
  bitmap.width = session.width();
  bitmap.height = session.height();
  const std::size_t stride = std::size_t{4} * bitmap.width;
  if (!configured || channels != 4 || bit_depth != 8 || row_bytes != stride) {
    return undecodable("The PNG could not be set up for 32-bit output.");
  }
  // A grey image within the decoder limit can still need four times that as a bitmap; verified
  // labels (at most 10,000 pixels a side) always fit.
  if (bitmap.size_bytes() > MAX_DECODED_IMAGE_BYTES) {
    return undecodable("The label bitmap would exceed the decoder limit.");
  }

  bitmap.pixels.reset(new (std::nothrow) std::uint8_t[bitmap.size_bytes()]);
  if (bitmap.pixels == nullptr) return undecodable("The label bitmap could not be allocated.");

  // Each pass of an interlaced image lands its pixels straight into the bitmap's rows, so no
  // second image-sized buffer is needed; the seven passes together cover every pixel.
  std::uint8_t* const pixels = bitmap.pixels.get();
  const bool decoded = session.guarded([&] { session.read_image(passes, pixels, stride); });
  if (!decoded) return undecodable("The PNG image data could not be decoded.");
  return bitmap;
}

namespace {

constexpr std::size_t PNG_SIGNATURE_BYTES = 8;
constexpr std::size_t CHUNK_FRAME_BYTES = 12;  // length, type, CRC
constexpr std::uint8_t PNG_GREY = 0;
constexpr std::uint8_t PNG_RGB = 2;

}  // namespace

std::optional<LabelBitmap> encoded_label_image(std::span<const std::uint8_t> png) {
  LabelBitmap image;
  EncodedLabelImage encoded;
  bool header = false;
  bool data_ended = false;
  for (std::size_t at = PNG_SIGNATURE_BYTES; at + CHUNK_FRAME_BYTES <= png.size();) {
    const std::uint32_t length = read_png_u32(&png[at]);
    if (length > png.size() - at - CHUNK_FRAME_BYTES) return std::nullopt;
    const std::string_view type(reinterpret_cast<const char*>(&png[at + 4]), 4);
    const std::span<const std::uint8_t> data = png.subspan(at + 8, length);
    at += CHUNK_FRAME_BYTES + length;
    if (type == "IHDR") {
      if (header || length != 13) return std::nullopt;
      image.width = read_png_u32(&data[0]);
      image.height = read_png_u32(&data[4]);
      encoded.bits = data[8];
      const std::uint8_t colour_type = data[9];
      const bool grey = colour_type == PNG_GREY && (encoded.bits == 1 || encoded.bits == 2 ||
                                                    encoded.bits == 4 || encoded.bits == 8);
      const bool rgb = colour_type == PNG_RGB && encoded.bits == 8;
      // Compression and filter method 0, no interlacing.
      if (!(grey || rgb) || data[10] != 0 || data[11] != 0 || data[12] != 0) return std::nullopt;
      encoded.colors = grey ? 1 : 3;
      header = true;
    } else if (!header || type == "tRNS" || type == "PLTE") {
      // Transparency would be dropped by the decoder and kept by a PDF reader; a palette is
      // only a suggestion for colour images, but is left to the decoder as well.
      return std::nullopt;
    } else if (type == "IDAT") {
      if (data_ended) return std::nullopt;
      encoded.rows_zlib.insert(encoded.rows_zlib.end(), data.begin(), data.end());
    } else if (type == "IEND") {
      break;
    } else if (!encoded.rows_zlib.empty()) {
      data_ended = true;
    }
  }
  if (!header || encoded.rows_zlib.empty()) return std::nullopt;
  image.encoded = std::move(encoded);
  return image;
}

}  // namespace vantrel
