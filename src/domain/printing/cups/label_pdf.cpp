#include "domain/printing/cups/label_pdf.hpp"

#include <zlib.h>

#include <cstdio>
#include <new>

#include "base/parallel.hpp"

namespace vantrel {
namespace {

// Plain decimals (PDF has no exponents), four places: far below a device pixel.
std::string number(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4f", value);
  std::string text = buffer;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  if (text == "-0") text = "0";
  return text;
}

// The samples, top row first as PDF images run: one grey channel while every pixel is grey,
// else red, green, blue.
std::string samples_of(const LabelBitmap& bitmap, bool& grey) {
  const std::size_t pixel_count = std::size_t{bitmap.width} * bitmap.height;
  const std::uint8_t* const bgra = bitmap.pixels.get();
  std::string samples(pixel_count, '\0');
  grey = true;
  // One pass while the label stays grey, which labels almost always are.
  std::uint8_t differs = 0;
  for (std::size_t i = 0; i < pixel_count; ++i) {
    const std::uint8_t* pixel = bgra + 4 * i;
    differs |= static_cast<std::uint8_t>((pixel[0] ^ pixel[1]) | (pixel[1] ^ pixel[2]));
    samples[i] = static_cast<char>(pixel[0]);
  }
  if (differs == 0) return samples;
  grey = false;
  samples.assign(pixel_count * 3, '\0');
  for (std::size_t i = 0; i < pixel_count; ++i) {
    const std::uint8_t* pixel = bgra + 4 * i;
    samples[3 * i] = static_cast<char>(pixel[2]);
    samples[3 * i + 1] = static_cast<char>(pixel[1]);
    samples[3 * i + 2] = static_cast<char>(pixel[0]);
  }
  return samples;
}

// An encoded image's XObject: the PNG's zlib stream, whose rows' filters PDF's PNG predictors
// undo.
std::string encoded_image_object(std::uint32_t width, std::uint32_t height,
                                 const EncodedLabelImage& image) {
  const std::string bits = std::to_string(image.bits);
  std::string object =
      "<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
      std::to_string(height) +
      (image.colors == 1 ? " /ColorSpace /DeviceGray" : " /ColorSpace /DeviceRGB") +
      " /BitsPerComponent " + bits +
      " /Interpolate false /Filter /FlateDecode /DecodeParms << /Predictor 15 /Colors " +
      std::to_string(image.colors) + " /BitsPerComponent " + bits + " /Columns " +
      std::to_string(width) + " >> /Length " + std::to_string(image.rows_zlib.size()) +
      " >>\nstream\n";
  object.append(image.rows_zlib.begin(), image.rows_zlib.end());
  object += "\nendstream";
  return object;
}

// The image XObject's dictionary and stream.
std::string image_object(const LabelBitmap& bitmap) {
  if (bitmap.encoded) return encoded_image_object(bitmap.width, bitmap.height, *bitmap.encoded);
  bool grey = true;
  const std::string samples = samples_of(bitmap, grey);
  uLongf packed_size = compressBound(static_cast<uLong>(samples.size()));
  std::string packed(packed_size, '\0');
  // Labels are mostly flat: the fastest level already packs them well.
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(samples.data()), static_cast<uLong>(samples.size()),
                Z_BEST_SPEED) != Z_OK) {
    throw std::bad_alloc();
  }
  packed.resize(packed_size);
  std::string object = "<< /Type /XObject /Subtype /Image /Width " + std::to_string(bitmap.width) +
                       " /Height " + std::to_string(bitmap.height) +
                       (grey ? " /ColorSpace /DeviceGray" : " /ColorSpace /DeviceRGB") +
                       " /BitsPerComponent 8 /Interpolate false /Filter /FlateDecode /Length " +
                       std::to_string(packed.size()) + " >>\nstream\n";
  object += packed;
  object += "\nendstream";
  return object;
}

}  // namespace

void LabelPdf::add_page(const LabelBitmap& bitmap, const PdfBox& box) {
  std::size_t image = 0;
  const void* identity = bitmap.encoded ? static_cast<const void*>(bitmap.encoded->rows_zlib.data())
                                        : bitmap.pixels.get();
  while (image < images_.size() && images_[image].identity != identity) ++image;
  if (image == images_.size()) images_.push_back(Image{&bitmap, identity});
  pages_.push_back(Page{image, box});
}

std::vector<std::uint8_t> LabelPdf::finish() const {
  // Each image is packed on its own, so a job of many labels shares the processors.
  std::vector<std::string> image_objects(images_.size());
  for_each_index(images_.size(),
                 [&](std::size_t i) { image_objects[i] = image_object(*images_[i].bitmap); });
  // Objects: 1 catalogue, 2 page tree, then the images, then a page and its content per page.
  const std::size_t first_image = 3;
  const std::size_t first_page = first_image + images_.size();
  const std::size_t object_count = first_page + 2 * pages_.size();
  std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<std::size_t> offsets(object_count, 0);
  const auto begin_object = [&](std::size_t id) {
    offsets[id] = out.size();
    out += std::to_string(id) + " 0 obj\n";
  };

  begin_object(1);
  out += "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  begin_object(2);
  out += "<< /Type /Pages /Kids [";
  for (std::size_t page = 0; page < pages_.size(); ++page) {
    out += (page == 0 ? "" : " ") + std::to_string(first_page + 2 * page) + " 0 R";
  }
  out += "] /Count " + std::to_string(pages_.size()) + " >>\nendobj\n";
  for (std::size_t image = 0; image < images_.size(); ++image) {
    begin_object(first_image + image);
    out += image_objects[image];
    out += "\nendobj\n";
  }
  for (std::size_t page = 0; page < pages_.size(); ++page) {
    const Page& p = pages_[page];
    const std::size_t id = first_page + 2 * page;
    begin_object(id);
    out += "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + number(page_width_pt_) + " " +
           number(page_height_pt_) + "] /Rotate 0 /Resources << /XObject << /Label " +
           std::to_string(first_image + p.image) + " 0 R >> >> /Contents " +
           std::to_string(id + 1) + " 0 R >>\nendobj\n";
    const std::string content = "q " + number(p.box.width) + " 0 0 " + number(p.box.height) + " " +
                                number(p.box.x) + " " + number(p.box.y) + " cm /Label Do Q";
    begin_object(id + 1);
    out += "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
           "\nendstream\nendobj\n";
  }
  const std::size_t xref_offset = out.size();
  out += "xref\n0 " + std::to_string(object_count) + "\n0000000000 65535 f \n";
  for (std::size_t id = 1; id < object_count; ++id) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offsets[id]);
    out += entry;
  }
  out += "trailer\n<< /Size " + std::to_string(object_count) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref_offset) + "\n%%EOF\n";
  return std::vector<std::uint8_t>(out.begin(), out.end());
}

}  // namespace vantrel
