#include <windows.h>

#include "domain/printing/windows/print_device.hpp"

namespace vantrel {
namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t));
static_assert(sizeof(BITMAPINFOHEADER) == 40);
#ifdef _WIN64
static_assert(sizeof(DOCINFOW) == 40);
#endif

HDC native_dc(const DeviceContext& dc) {
  return static_cast<HDC>(dc.get());
}

GdiReply reply_of(int value) {
  // Read before anything else can overwrite it.
  const DWORD error = GetLastError();
  return GdiReply{value, static_cast<std::uint32_t>(error)};
}

// BITMAPINFO declares one colour entry; a 1-bit image's table has two.
struct NativeBitmapInfo {
  BITMAPINFOHEADER header;
  RGBQUAD colours[2];
};

NativeBitmapInfo to_native(const LabelBitmapInfo& info) {
  NativeBitmapInfo native{};
  native.header.biSize = info.size;
  native.header.biWidth = info.width;
  native.header.biHeight = info.height;
  native.header.biPlanes = info.planes;
  native.header.biBitCount = info.bit_count;
  native.header.biCompression = info.compression;
  native.header.biSizeImage = info.size_image;
  native.header.biXPelsPerMeter = info.x_pels_per_meter;
  native.header.biYPelsPerMeter = info.y_pels_per_meter;
  native.header.biClrUsed = info.clr_used;
  native.header.biClrImportant = info.clr_important;
  for (std::size_t i = 0; i < 2; ++i) {
    native.colours[i].rgbBlue = info.colours[i][0];
    native.colours[i].rgbGreen = info.colours[i][1];
    native.colours[i].rgbRed = info.colours[i][2];
    native.colours[i].rgbReserved = info.colours[i][3];
  }
  return native;
}

class Win32PrintDevices final : public PrintDevices {
 public:
  std::expected<DeviceContext, std::uint32_t> create_dc(const std::u16string& device,
                                                        const std::byte* settings) override {
    const HDC dc = CreateDCW(nullptr, reinterpret_cast<LPCWSTR>(device.c_str()), nullptr,
                             reinterpret_cast<const DEVMODEW*>(settings));
    if (dc == nullptr) return std::unexpected(static_cast<std::uint32_t>(GetLastError()));
    return DeviceContext(dc, {this});
  }

  int get_device_caps(const DeviceContext& dc, int index) override {
    return GetDeviceCaps(native_dc(dc), index);
  }

  GdiReply start_doc(const DeviceContext& dc, const LabelDocInfo& doc) override {
    DOCINFOW native{};
    native.cbSize = doc.size;
    native.lpszDocName = reinterpret_cast<LPCWSTR>(doc.doc_name);
    native.lpszOutput = reinterpret_cast<LPCWSTR>(doc.output);
    native.lpszDatatype = reinterpret_cast<LPCWSTR>(doc.datatype);
    native.fwType = doc.type;
    return reply_of(StartDocW(native_dc(dc), &native));
  }

  GdiReply start_page(const DeviceContext& dc) override {
    return reply_of(StartPage(native_dc(dc)));
  }

  GdiReply stretch_dib_bits(const DeviceContext& dc, const StretchDibCall& call) override {
    const NativeBitmapInfo info = to_native(*call.info);
    return reply_of(
        StretchDIBits(native_dc(dc), call.dest_x, call.dest_y, call.dest_width, call.dest_height,
                      call.src_x, call.src_y, call.src_width, call.src_height, call.bits,
                      reinterpret_cast<const BITMAPINFO*>(&info), call.usage, call.rop));
  }

  GdiReply end_page(const DeviceContext& dc) override { return reply_of(EndPage(native_dc(dc))); }

  GdiReply end_doc(const DeviceContext& dc) override { return reply_of(EndDoc(native_dc(dc))); }

  void abort_doc(const DeviceContext& dc) noexcept override { AbortDoc(native_dc(dc)); }

 private:
  void delete_dc(void* native) noexcept override { DeleteDC(static_cast<HDC>(native)); }
};

}  // namespace

PrintDevices& windows_print_devices() {
  static Win32PrintDevices devices;
  return devices;
}

}  // namespace vantrel
