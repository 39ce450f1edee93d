#include "domain/submit/label_bitmap_decoding.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <random>
#include <utility>

#include "test_png.hpp"

namespace vantrel {
namespace {

using test_png::png_layout;
using test_png::PngLayout;
using test_png::write_flat_png;
using test_png::write_png;

using Bgrx = std::array<std::uint8_t, 4>;

int channels_of(int color_type) {
  switch (color_type) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;
  }
}

// Samples of a test image before packing, row by row.
struct SampleImage {
  PngLayout layout;
  std::vector<std::vector<std::uint32_t>> rows;
};

void pack_row(const std::vector<std::uint32_t>& samples, int depth, std::uint8_t* row) {
  if (depth == 16) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
      row[2 * i] = static_cast<std::uint8_t>(samples[i] >> 8);
      row[2 * i + 1] = static_cast<std::uint8_t>(samples[i]);
    }
    return;
  }
  std::fill(row, row + (samples.size() * depth + 7) / 8, 0);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t bit = i * depth;
    row[bit / 8] |= static_cast<std::uint8_t>(samples[i] << (8 - depth - bit % 8));
  }
}

std::vector<std::uint8_t> encode(const SampleImage& image) {
  return write_png(image.layout, [&image](std::uint32_t y, std::uint8_t* row) {
    pack_row(image.rows[y], image.layout.bit_depth, row);
  });
}

// The conversion rules written out independently of libpng.
std::uint8_t to_8_bits(std::uint32_t v, int depth) {
  if (depth == 16) return static_cast<std::uint8_t>((v + 128) / 257);
  return static_cast<std::uint8_t>(v * 255 / ((1u << depth) - 1));
}

std::vector<Bgrx> expected_pixels(const SampleImage& image) {
  const PngLayout& layout = image.layout;
  const int channels = channels_of(layout.color_type);
  std::vector<Bgrx> out;
  for (const auto& row : image.rows) {
    for (std::uint32_t x = 0; x < layout.width; ++x) {
      const std::uint32_t* s = row.data() + x * channels;
      if (layout.color_type == PNG_COLOR_TYPE_PALETTE) {
        const png_color c = layout.palette[s[0]];
        out.push_back({c.blue, c.green, c.red, 255});
      } else if (channels <= 2) {
        const std::uint8_t g = to_8_bits(s[0], layout.bit_depth);
        out.push_back({g, g, g, 255});
      } else {
        out.push_back({to_8_bits(s[2], layout.bit_depth), to_8_bits(s[1], layout.bit_depth),
                       to_8_bits(s[0], layout.bit_depth), 255});
      }
    }
  }
  return out;
}

std::vector<Bgrx> pixels_of(const LabelBitmap& bitmap) {
  std::vector<Bgrx> out(std::size_t{bitmap.width} * bitmap.height);
  std::memcpy(out.data(), bitmap.pixels.get(), bitmap.size_bytes());
  return out;
}

std::vector<Bgrx> decode(const std::vector<std::uint8_t>& png) {
  const auto bitmap = decode_label_bitmap(png);
  if (!bitmap) {
    ADD_FAILURE() << bitmap.error().message;
    return {};
  }
  return pixels_of(*bitmap);
}

struct FormatCase {
  const char* name;
  int color_type;
  int bit_depth;
  bool transparency;
  bool interlaced;
};

SampleImage random_image(const FormatCase& c, std::uint32_t width, std::uint32_t height,
                         std::uint32_t seed) {
  std::mt19937 random(seed);
  SampleImage image;
  image.layout = png_layout(width, height, c.bit_depth, c.color_type, c.interlaced);
  const std::uint32_t max_sample = (1u << c.bit_depth) - 1;
  std::uint32_t sample_limit = max_sample;
  if (c.color_type == PNG_COLOR_TYPE_PALETTE) {
    image.layout.palette.resize(std::min<std::uint32_t>(max_sample + 1, 200));
    for (auto& p : image.layout.palette) {
      p = png_color{static_cast<png_byte>(random()), static_cast<png_byte>(random()),
                    static_cast<png_byte>(random())};
    }
    sample_limit = static_cast<std::uint32_t>(image.layout.palette.size() - 1);
    if (c.transparency) image.layout.palette_alpha = {0, 77};
  }
  const int channels = channels_of(c.color_type);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::vector<std::uint32_t> row(std::size_t{width} * channels);
    for (auto& s : row) s = random() % (sample_limit + 1);
    // Full-scale extremes on the first row, where rounding is most likely to go wrong.
    if (y == 0) row[0] = 0, row[row.size() - 1] = sample_limit;
    image.rows.push_back(std::move(row));
  }
  if (c.transparency && c.color_type != PNG_COLOR_TYPE_PALETTE) {
    // Mark the first pixel's colour transparent: it must still come out as stored.
    const auto& first = image.rows[0];
    png_color_16 key{};
    key.gray = static_cast<png_uint_16>(first[0]);
    if (channels == 3) {
      key.red = static_cast<png_uint_16>(first[0]);
      key.green = static_cast<png_uint_16>(first[1]);
      key.blue = static_cast<png_uint_16>(first[2]);
    }
    image.layout.transparent = key;
  }
  return image;
}

class PixelConversion : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PixelConversion, GivesBlueGreenRedAnd255) {
  const SampleImage image = random_image(GetParam(), 37, 11, 99);
  const auto bitmap = decode_label_bitmap(encode(image));
  ASSERT_TRUE(bitmap.has_value()) << bitmap.error().message;
  EXPECT_EQ(bitmap->width, 37u);
  EXPECT_EQ(bitmap->height, 11u);
  EXPECT_EQ(pixels_of(*bitmap), expected_pixels(image));
}

constexpr int GREY = PNG_COLOR_TYPE_GRAY;
constexpr int GREY_ALPHA = PNG_COLOR_TYPE_GRAY_ALPHA;
constexpr int RGB = PNG_COLOR_TYPE_RGB;
constexpr int RGBA = PNG_COLOR_TYPE_RGB_ALPHA;
constexpr int PALETTE = PNG_COLOR_TYPE_PALETTE;

INSTANTIATE_TEST_SUITE_P(
    EveryTypeAndDepth, PixelConversion,
    ::testing::Values(
        FormatCase{"Grey1", GREY, 1, false, false}, FormatCase{"Grey2", GREY, 2, false, false},
        FormatCase{"Grey4", GREY, 4, false, false}, FormatCase{"Grey8", GREY, 8, false, false},
        FormatCase{"Grey16", GREY, 16, false, false},
        FormatCase{"Grey1Transparent", GREY, 1, true, false},
        FormatCase{"Grey4Transparent", GREY, 4, true, false},
        FormatCase{"Grey8Transparent", GREY, 8, true, false},
        FormatCase{"Grey16Transparent", GREY, 16, true, false},
        FormatCase{"GreyAlpha8", GREY_ALPHA, 8, false, false},
        FormatCase{"GreyAlpha16", GREY_ALPHA, 16, false, false},
        FormatCase{"Rgb8", RGB, 8, false, false}, FormatCase{"Rgb16", RGB, 16, false, false},
        FormatCase{"Rgb8Transparent", RGB, 8, true, false},
        FormatCase{"Rgb16Transparent", RGB, 16, true, false},
        FormatCase{"Rgba8", RGBA, 8, false, false}, FormatCase{"Rgba16", RGBA, 16, false, false},
        FormatCase{"Palette1", PALETTE, 1, false, false},
        FormatCase{"Palette2", PALETTE, 2, false, false},
        FormatCase{"Palette4", PALETTE, 4, false, false},
        FormatCase{"Palette8", PALETTE, 8, false, false},
        FormatCase{"Palette1Transparent", PALETTE, 1, true, false},
        FormatCase{"Palette2Transparent", PALETTE, 2, true, false},
        FormatCase{"Palette4Transparent", PALETTE, 4, true, false},
        FormatCase{"Palette8Transparent", PALETTE, 8, true, false},
        FormatCase{"InterlacedGrey1", GREY, 1, false, true},
        FormatCase{"InterlacedGrey16", GREY, 16, true, true},
        FormatCase{"InterlacedPalette4", PALETTE, 4, true, true},
        FormatCase{"InterlacedRgb8", RGB, 8, false, true},
        FormatCase{"InterlacedRgba16", RGBA, 16, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LabelDecoding, SixteenBitRuleHoldsForEveryValue) {
  SampleImage image;
  image.layout = png_layout(256, 256, 16, GREY);
  for (std::uint32_t y = 0; y < 256; ++y) {
    std::vector<std::uint32_t> row(256);
    for (std::uint32_t x = 0; x < 256; ++x) row[x] = y * 256 + x;
    image.rows.push_back(std::move(row));
  }
  const auto pixels = decode(encode(image));
  ASSERT_EQ(pixels.size(), 65536u);
  for (std::uint32_t v = 0; v < 65536; ++v) {
    const auto expected = static_cast<std::uint8_t>((v + 128) / 257);
    ASSERT_EQ(pixels[v], (Bgrx{expected, expected, expected, 255})) << "v=" << v;
  }
}

TEST(LabelDecoding, AlphaIsDroppedAndColoursKeptAsStored) {
  SampleImage image;
  image.layout = png_layout(3, 1, 8, RGBA);
  image.rows = {{0, 0, 0, 0, 200, 100, 50, 0, 1, 2, 3, 128}};
  EXPECT_EQ(decode(encode(image)),
            (std::vector<Bgrx>{{0, 0, 0, 255}, {50, 100, 200, 255}, {3, 2, 1, 255}}));
}

TEST(LabelDecoding, OneBitGreyIsPureBlackAndWhite) {
  SampleImage image;
  image.layout = png_layout(10, 1, 1, GREY);
  image.rows = {{0, 1, 1, 0, 1, 0, 0, 0, 1, 1}};
  const Bgrx black{0, 0, 0, 255};
  const Bgrx white{255, 255, 255, 255};
  EXPECT_EQ(decode(encode(image)), (std::vector<Bgrx>{black, white, white, black, white, black,
                                                      black, black, white, white}));
}

TEST(LabelDecoding, InterlacedEqualsNonInterlaced) {
  for (const auto& [width, height] :
       {std::pair{1u, 1u}, {2u, 3u}, {5u, 1u}, {1u, 9u}, {61u, 23u}}) {
    FormatCase rgba{"", RGBA, 8, false, false};
    const SampleImage plain = random_image(rgba, width, height, width * 31 + height);
    SampleImage interlaced = plain;
    interlaced.layout.interlaced = true;
    const auto interlaced_png = encode(interlaced);
    ASSERT_NE(interlaced_png, encode(plain));
    EXPECT_EQ(decode(interlaced_png), decode(encode(plain))) << width << "x" << height;
    EXPECT_EQ(decode(interlaced_png), expected_pixels(plain)) << width << "x" << height;
  }
}

TEST(LabelDecoding, DecodesTheLargestLabel) {
  const auto png = write_flat_png(png_layout(10000, 10000, 8, RGBA), 0x40);
  const auto bitmap = decode_label_bitmap(png);
  ASSERT_TRUE(bitmap.has_value()) << bitmap.error().message;
  ASSERT_EQ(bitmap->size_bytes(), 400'000'000u);
  const std::uint8_t* p = bitmap->pixels.get();
  for (std::size_t offset : {std::size_t{0}, std::size_t{199'999'996}, std::size_t{399'999'996}}) {
    EXPECT_EQ((Bgrx{p[offset], p[offset + 1], p[offset + 2], p[offset + 3]}),
              (Bgrx{0x40, 0x40, 0x40, 255}));
  }
}

TEST(LabelDecoding, RefusesDamagedBytes) {
  SampleImage image = random_image({"", RGB, 8, false, false}, 20, 20, 5);
  auto png = encode(image);
  EXPECT_FALSE(decode_label_bitmap(std::span(png).first(png.size() / 2)).has_value());
  EXPECT_FALSE(decode_label_bitmap({}).has_value());
  png[40] ^= 0xFF;
  EXPECT_FALSE(decode_label_bitmap(png).has_value());
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

// Which PNGs a PDF may carry as they are: only those whose stored rows mean what decoding gives.
TEST(EncodedLabelImage, TakesPlainGreyAndColourRowsWhole) {
  struct Case {
    FormatCase format;
    int colors;  // 0: decoded instead
  };
  for (const auto& [format, colors] : {
           Case{{"grey 8", GREY, 8, false, false}, 1},
           Case{{"grey 1", GREY, 1, false, false}, 1},
           Case{{"grey 4", GREY, 4, false, false}, 1},
           Case{{"rgb 8", RGB, 8, false, false}, 3},
           Case{{"grey 16", GREY, 16, false, false}, 0},
           Case{{"rgba", RGBA, 8, false, false}, 0},
           Case{{"grey alpha", GREY_ALPHA, 8, false, false}, 0},
           Case{{"palette", PALETTE, 8, false, false}, 0},
           Case{{"grey with tRNS", GREY, 8, true, false}, 0},
           Case{{"interlaced grey", GREY, 8, false, true}, 0},
       }) {
    // Noise packs badly, so the rows span several IDAT chunks.
    const auto png = encode(random_image(format, 300, 200, 7));
    const auto image = encoded_label_image(png);
    ASSERT_EQ(image.has_value(), colors != 0) << format.name;
    if (!image) continue;
    EXPECT_EQ(image->pixels, nullptr);
    EXPECT_EQ(std::pair(image->width, image->height), std::pair(300u, 200u));
    EXPECT_EQ(image->encoded->colors, colors) << format.name;
    EXPECT_EQ(image->encoded->bits, format.bit_depth) << format.name;
    const std::size_t row_bytes = 1 + (300 * colors * format.bit_depth + 7) / 8;
    std::vector<std::uint8_t> rows(200 * row_bytes + 1);
    uLongf size = rows.size();
    ASSERT_EQ(uncompress(rows.data(), &size, image->encoded->rows_zlib.data(),
                         image->encoded->rows_zlib.size()),
              Z_OK)
        << format.name;
    EXPECT_EQ(size, 200 * row_bytes) << format.name;
  }
  const auto grey = encode(random_image({"", GREY, 8, false, false}, 30, 20, 1));
  EXPECT_FALSE(encoded_label_image(std::span(grey).first(grey.size() - 20)).has_value());
}

}  // namespace
}  // namespace vantrel
