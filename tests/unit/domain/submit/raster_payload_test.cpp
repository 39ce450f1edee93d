#include "domain/submit/raster_payload.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <random>

#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/png_read_session.hpp"
#include "test_png.hpp"

namespace vantrel {
namespace {

using test_png::encode_base64;
using test_png::png_layout;
using test_png::PngLayout;
using test_png::write_flat_png;
using test_png::write_png;

const HostError TOO_LARGE{ErrorCode::PAYLOAD_TOO_LARGE, "The PNG label exceeds the helper limit."};
const HostError NOT_BASE64{ErrorCode::BAD_REQUEST, "The raster payload is not valid base64."};
const HostError NOT_PNG{ErrorCode::BAD_REQUEST, "The raster payload is not a PNG."};
const HostError ZERO_SIDE{ErrorCode::BAD_REQUEST, "The PNG has invalid dimensions."};
const HostError DECLARED{ErrorCode::BAD_REQUEST,
                         "Declared raster dimensions do not match the PNG."};
const HostError INVALID_PNG{ErrorCode::BAD_REQUEST, "The raster payload is not a valid PNG image."};

std::vector<std::uint8_t> small_png(std::uint32_t width = 400, std::uint32_t height = 300,
                                    bool interlaced = false) {
  const PngLayout layout = png_layout(width, height, 8, PNG_COLOR_TYPE_RGB, interlaced);
  return write_png(layout, [width](std::uint32_t y, std::uint8_t* row) {
    for (std::uint32_t i = 0; i < width * 3; ++i) row[i] = static_cast<std::uint8_t>(i * 7 + y);
  });
}

RasterPayload payload_of(const std::vector<std::uint8_t>& png, std::uint32_t width,
                         std::uint32_t height) {
  return RasterPayload{"png", encode_base64(png), width, height};
}

// The refusal of the payload; none when it verifies.
std::optional<HostError> error_of(const RasterPayload& raster) {
  const auto result = verify_raster_payload(raster);
  if (result) return std::nullopt;
  return result.error();
}

void write_u32_be(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t read_u32_be(const std::uint8_t* in) {
  return std::uint32_t{in[0]} << 24 | std::uint32_t{in[1]} << 16 | std::uint32_t{in[2]} << 8 |
         in[3];
}

// Offset of the first chunk of the given type.
std::size_t find_chunk(const std::vector<std::uint8_t>& png, const char* type) {
  std::size_t pos = 8;
  while (pos + 8 <= png.size()) {
    const std::uint32_t length = read_u32_be(png.data() + pos);
    if (std::equal(type, type + 4, png.begin() + pos + 4)) return pos;
    pos += 12 + length;
  }
  ADD_FAILURE() << "no " << type << " chunk";
  return 0;
}

void fix_crc(std::vector<std::uint8_t>& png, std::size_t chunk) {
  const std::uint32_t length = read_u32_be(png.data() + chunk);
  const uLong crc = crc32(0, png.data() + chunk + 4, length + 4);
  write_u32_be(png.data() + chunk + 8 + length, static_cast<std::uint32_t>(crc));
}

// ---- the checks, in order

TEST(RasterVerification, ReturnsThePngBytesOfAValidLabel) {
  const auto png = small_png();
  const auto verified = verify_raster_payload(payload_of(png, 400, 300));
  ASSERT_TRUE(verified.has_value()) << verified.error().message;
  EXPECT_EQ(*verified, png);
  const auto interlaced = small_png(400, 300, true);
  EXPECT_EQ(verify_raster_payload(payload_of(interlaced, 400, 300)).value(), interlaced);
}

TEST(RasterVerification, TextLimitComesBeforeDecoding) {
  // Not Base64 at all, yet refused as too large: the text is never decoded.
  EXPECT_EQ(error_of({"png", std::string(MAX_BASE64_TEXT_BYTES + 1, '*'), 400, 300}), TOO_LARGE);
  // At the limit the text is decoded (and 6,990,522 symbols are no whole number of groups).
  EXPECT_EQ(error_of({"png", std::string(MAX_BASE64_TEXT_BYTES, 'A'), 400, 300}), NOT_BASE64);
}

TEST(RasterVerification, ByteLimitAppliesToDecodedBytes) {
  // 5,242,878 zero bytes, then one more group: 5,242,880 bytes pass the limit (and are no PNG),
  // 5,242,881 do not.
  const std::string body(MAX_LABEL_PNG_BYTES / 3 * 4, 'A');
  EXPECT_EQ(error_of({"png", body + "AAA=", 400, 300}), NOT_PNG);
  EXPECT_EQ(error_of({"png", body + "AAAA", 400, 300}), TOO_LARGE);
}

TEST(RasterVerification, StrictBase64) {
  auto png = small_png();
  while (png.size() % 3 != 1) png.push_back(0);  // two padding symbols
  const std::string text = encode_base64(png);
  std::string leading_space = text;
  leading_space[0] = ' ';
  for (const std::string& bad :
       {text.substr(0, text.find_last_not_of('=') + 1), text.substr(0, 76) + "\n" + text.substr(76),
        text.substr(0, 76) + "\r\n" + text.substr(76), leading_space,
        text.substr(0, 8) + "-" + text.substr(9), text.substr(0, 8) + "_" + text.substr(9)}) {
    EXPECT_EQ(error_of({"png", bad, 400, 300}), NOT_BASE64);
  }
}

TEST(RasterVerification, HeaderIsJudgedOnRawBytes) {
  const auto png = small_png();
  EXPECT_EQ(error_of({"png", "", 400, 300}), NOT_PNG);
  EXPECT_EQ(error_of(payload_of({png.begin(), png.begin() + 23}, 400, 300)), NOT_PNG);
  const std::vector<std::uint8_t> jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',
                                       'I',  'F',  0x00, 0x01, 0x01, 0x00, 0x00, 0x48,
                                       0x00, 0x48, 0x00, 0x00, 0xFF, 0xDB, 0x00, 0x43};
  EXPECT_EQ(error_of(payload_of(jpeg, 400, 300)), NOT_PNG);
  auto not_ihdr = png;
  not_ihdr[12] = 'i';
  EXPECT_EQ(error_of(payload_of(not_ihdr, 400, 300)), NOT_PNG);
  auto bad_signature = png;
  bad_signature[7] = 0;
  EXPECT_EQ(error_of(payload_of(bad_signature, 400, 300)), NOT_PNG);
  // The first chunk's length is not examined by the header check; the decoder refuses it.
  auto odd_length = png;
  odd_length[11] = 14;
  EXPECT_EQ(error_of(payload_of(odd_length, 400, 300)), INVALID_PNG);
  // 24 bytes are enough to reach the dimension checks.
  const std::vector<std::uint8_t> header(png.begin(), png.begin() + 24);
  EXPECT_EQ(error_of(payload_of(header, 400, 300)), INVALID_PNG);
  EXPECT_EQ(error_of(payload_of(header, 300, 400)), DECLARED);
}

TEST(RasterVerification, ZeroSideIsReportedBeforeComparingWithTheDeclaredSize) {
  auto png = small_png();
  write_u32_be(png.data() + 16, 0);
  EXPECT_EQ(error_of(payload_of(png, 400, 300)), ZERO_SIDE);
  EXPECT_EQ(error_of(payload_of(png, 0, 300)), ZERO_SIDE);
  png = small_png();
  write_u32_be(png.data() + 20, 0);
  EXPECT_EQ(error_of(payload_of(png, 999, 999)), ZERO_SIDE);
}

TEST(RasterVerification, DeclaredSizeMustMatchTheHeader) {
  const auto png = small_png();
  EXPECT_EQ(error_of(payload_of(png, 300, 400)), DECLARED);
  EXPECT_EQ(error_of(payload_of(png, 400, 301)), DECLARED);
}

TEST(RasterVerification, DamagedImageDataIsNotAValidImage) {
  const auto png = small_png();
  const std::size_t idat = find_chunk(png, "IDAT");

  auto bad_crc = png;
  bad_crc[idat + 8 + 20] ^= 0x55;
  EXPECT_EQ(error_of(payload_of(bad_crc, 400, 300)), INVALID_PNG);

  // Checksums intact, but the compressed stream itself is broken.
  auto bad_stream = png;
  bad_stream[idat + 8] = 0x00;  // zlib header: not deflate
  fix_crc(bad_stream, idat);
  EXPECT_EQ(error_of(payload_of(bad_stream, 400, 300)), INVALID_PNG);

  auto truncated = png;
  truncated.resize(idat + 8 + 100);
  EXPECT_EQ(error_of(payload_of(truncated, 400, 300)), INVALID_PNG);

  auto no_end = png;
  no_end.resize(no_end.size() - 12);  // IEND
  EXPECT_EQ(error_of(payload_of(no_end, 400, 300)), INVALID_PNG);

  // Too little image data for the rows the header promises.
  auto taller = png;
  write_u32_be(taller.data() + 20, 301);
  fix_crc(taller, 8);
  EXPECT_EQ(error_of(payload_of(taller, 400, 301)), INVALID_PNG);
}

// A 16 x 16 grey image whose one IDAT chunk inflates to its 272 bytes of rows followed by
// `extra` zero bytes (with Z_RLE, zeros deflate about 1000 to 1).
std::vector<std::uint8_t> png_with_extra_image_data(std::size_t extra) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15, 9, Z_RLE), Z_OK);
  std::vector<std::uint8_t> zeros(1 << 20);
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> out(1 << 16);
  for (std::size_t left = 16 * 17 + extra; left > 0;) {
    const std::size_t n = std::min(left, zeros.size());
    left -= n;
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(n);
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, flush);
      stream.insert(stream.end(), out.data(), z.next_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);

  std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  const auto add_chunk = [&png](const char* type, const std::vector<std::uint8_t>& data) {
    const std::size_t at = png.size();
    png.resize(at + 12 + data.size());
    write_u32_be(png.data() + at, static_cast<std::uint32_t>(data.size()));
    std::copy(type, type + 4, png.begin() + at + 4);
    std::copy(data.begin(), data.end(), png.begin() + at + 8);
    fix_crc(png, at);
  };
  add_chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, PNG_COLOR_TYPE_GRAY, 0, 0, 0});
  add_chunk("IDAT", stream);
  add_chunk("IEND", {});
  return png;
}

TEST(RasterVerification, ImageDataFarBeyondTheLastRowIsNotAValidImage) {
  // libpng only warns about a little excess, so such a label still verifies and decodes.
  const auto slightly_long = png_with_extra_image_data(100);
  EXPECT_EQ(error_of(payload_of(slightly_long, 16, 16)), std::nullopt);
  EXPECT_TRUE(decode_label_bitmap(slightly_long).has_value());
  // Rows that do not compress at all end right behind their last row too.
  for (const int level : {0, 9}) {
    PngLayout noise_layout = png_layout(10000, 16, 8, PNG_COLOR_TYPE_RGB_ALPHA);
    noise_layout.compression_level = level;
    std::mt19937 random(7);
    const auto noise = write_png(noise_layout, [&random](std::uint32_t, std::uint8_t* row) {
      for (int i = 0; i < 40000; ++i) row[i] = static_cast<std::uint8_t>(random());
    });
    EXPECT_EQ(error_of(payload_of(noise, 10000, 16)), std::nullopt) << level;
    EXPECT_TRUE(decode_label_bitmap(noise).has_value()) << level;
  }

  // 256 MiB of zeros behind the rows: refused before libpng inflates them.
  const auto bomb = png_with_extra_image_data(std::size_t{256} << 20);
  ASSERT_GT(bomb.size(), MAX_IMAGE_DATA_AFTER_LAST_ROW + 8192);
  EXPECT_EQ(error_of(payload_of(bomb, 16, 16)), INVALID_PNG);
  EXPECT_FALSE(decode_label_bitmap(bomb).has_value());
}

// ---- the decoder limit, checked from IHDR and the transparency chunk before any image data

struct LimitCase {
  const char* name;
  std::uint32_t width;
  std::uint32_t height;
  int bit_depth;
  int color_type;
  bool transparency;
  bool accepted;
};

PngLayout limit_layout(const LimitCase& c) {
  PngLayout layout = png_layout(c.width, c.height, c.bit_depth, c.color_type);
  if (c.color_type == PNG_COLOR_TYPE_PALETTE) {
    layout.palette.assign(2, png_color{10, 20, 30});
    if (c.transparency) layout.palette_alpha = {0};
  } else if (c.transparency) {
    layout.transparent = png_color_16{};
  }
  return layout;
}

class DecoderLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(DecoderLimit, CountsBytesOfTheExpandedOutput) {
  const LimitCase& c = GetParam();
  const auto png = write_flat_png(limit_layout(c));
  ASSERT_LE(png.size(), MAX_LABEL_PNG_BYTES);
  const auto verified = verify_raster_payload(payload_of(png, c.width, c.height));
  if (c.accepted) {
    EXPECT_TRUE(verified.has_value()) << verified.error().message;
  } else {
    EXPECT_EQ(verified.error(), INVALID_PNG);
    // The bitmap decoding refuses it too, before allocating anything.
    EXPECT_FALSE(decode_label_bitmap(png).has_value());
  }
}

// 536,870,912 = 2^29 bytes. Sides beyond 10,000 only exercise the limit arithmetic here.
INSTANTIATE_TEST_SUITE_P(
    Table, DecoderLimit,
    ::testing::Values(
        LimitCase{"Rgba8Label", 10000, 10000, 8, PNG_COLOR_TYPE_RGB_ALPHA, false, true},
        LimitCase{"Rgb16Label", 10000, 10000, 16, PNG_COLOR_TYPE_RGB, false, false},
        LimitCase{"Grey1AtLimit", 32768, 16384, 1, PNG_COLOR_TYPE_GRAY, false, true},
        LimitCase{"Grey1OverLimit", 32768, 16385, 1, PNG_COLOR_TYPE_GRAY, false, false},
        LimitCase{"Grey1TransparentAtLimit", 16384, 16384, 1, PNG_COLOR_TYPE_GRAY, true, true},
        LimitCase{"Grey1TransparentOver", 16384, 16385, 1, PNG_COLOR_TYPE_GRAY, true, false},
        LimitCase{"Palette1", 16384, 10922, 1, PNG_COLOR_TYPE_PALETTE, false, true},
        LimitCase{"Palette1Transparent", 16384, 10922, 1, PNG_COLOR_TYPE_PALETTE, true, false},
        LimitCase{"Grey16AtLimit", 16384, 16384, 16, PNG_COLOR_TYPE_GRAY, false, true},
        LimitCase{"Grey16Transparent", 16384, 16384, 16, PNG_COLOR_TYPE_GRAY, true, false},
        LimitCase{"Rgb8Transparent", 16384, 8192, 8, PNG_COLOR_TYPE_RGB, true, true},
        LimitCase{"Rgb8TransparentOver", 16384, 8193, 8, PNG_COLOR_TYPE_RGB, true, false},
        LimitCase{"Rgba16", 8192, 8192, 16, PNG_COLOR_TYPE_RGB_ALPHA, false, true},
        LimitCase{"Rgba16Over", 8192, 8193, 16, PNG_COLOR_TYPE_RGB_ALPHA, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- hostile bytes

TEST(RasterVerification, MutatedPngsNeverCrashEitherDecoder) {
  std::vector<std::vector<std::uint8_t>> seeds{small_png(40, 30), small_png(40, 30, true)};
  PngLayout palette = png_layout(33, 9, 4, PNG_COLOR_TYPE_PALETTE);
  palette.palette.assign(16, png_color{1, 2, 3});
  palette.palette_alpha = {0, 128};
  seeds.push_back(write_flat_png(palette, 0x5F));
  std::mt19937 random(2024);
  int verified = 0;
  for (int round = 0; round < 3000; ++round) {
    auto png = seeds[round % seeds.size()];
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      png[8 + random() % (png.size() - 8)] = static_cast<std::uint8_t>(random());
    }
    if (round % 7 == 0) png.resize(random() % png.size());
    if (round % 3 == 0) {  // keep checksums right, so the damage reaches the decoder itself
      for (std::size_t pos = 8; pos + 12 <= png.size();) {
        const std::uint32_t length = read_u32_be(png.data() + pos);
        if (length > png.size() - pos - 12) break;
        fix_crc(png, pos);
        pos += 12 + length;
      }
    }
    const std::uint32_t width = png.size() >= 24 ? read_u32_be(png.data() + 16) : 0;
    const std::uint32_t height = png.size() >= 24 ? read_u32_be(png.data() + 20) : 0;
    if (verify_raster_payload(payload_of(png, width, height))) ++verified;
    (void)decode_label_bitmap(png);
  }
  // Some mutations only touch the pixel values; most are refused.
  EXPECT_GT(verified, 0);
  EXPECT_LT(verified, 3000);
}

}  // namespace
}  // namespace vantrel
