#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "base/owned.hpp"

namespace vantrel {

// BITMAPINFOHEADER followed by two RGBQUADs (the colour table of a 1-bit image), field by field.
struct LabelBitmapInfo {
  std::uint32_t size = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t planes = 0;
  std::uint16_t bit_count = 0;
  std::uint32_t compression = 0;
  std::uint32_t size_image = 0;
  std::int32_t x_pels_per_meter = 0;
  std::int32_t y_pels_per_meter = 0;
  std::uint32_t clr_used = 0;
  std::uint32_t clr_important = 0;
  std::array<std::array<std::uint8_t, 4>, 2> colours{};  // each blue, green, red, reserved

  bool operator==(const LabelBitmapInfo&) const = default;
};

// DOCINFOW, field by field. doc_name must stay alive, NUL-terminated, while the call runs.
struct LabelDocInfo {
  std::int32_t size = 0;
  const char16_t* doc_name = nullptr;
  const char16_t* output = nullptr;
  const char16_t* datatype = nullptr;
  std::uint32_t type = 0;
};

// The arguments of one StretchDIBits call.
struct StretchDibCall {
  std::int32_t dest_x = 0;
  std::int32_t dest_y = 0;
  std::int32_t dest_width = 0;
  std::int32_t dest_height = 0;
  std::int32_t src_x = 0;
  std::int32_t src_y = 0;
  std::int32_t src_width = 0;
  std::int32_t src_height = 0;
  const void* bits = nullptr;
  const LabelBitmapInfo* info = nullptr;
  std::uint32_t usage = 0;
  std::uint32_t rop = 0;

  bool operator==(const StretchDibCall&) const = default;
};

// The int a GDI call returned and GetLastError read immediately after it.
struct GdiReply {
  int value = 0;
  std::uint32_t last_error = 0;
};

class PrintDevices;

// A device context, deleted exactly once through the table's delete_dc.
using DeviceContext = Owned<void*, ReleaseThrough<PrintDevices>>;

// The graphics-device calls of label rendering, one member per call. The Windows implementation
// only translates; what counts as failure is decided by the caller.
class PrintDevices {
 public:
  virtual ~PrintDevices() = default;

  // CreateDCW(no driver, device, no output, settings); device is NUL-terminated, settings a
  // DEVMODEW or null for the queue's own. The error is GetLastError read right after a null
  // result.
  virtual std::expected<DeviceContext, std::uint32_t> create_dc(const std::u16string& device,
                                                                const std::byte* settings) = 0;
  virtual int get_device_caps(const DeviceContext& dc, int index) = 0;
  virtual GdiReply start_doc(const DeviceContext& dc, const LabelDocInfo& doc) = 0;
  virtual GdiReply start_page(const DeviceContext& dc) = 0;
  virtual GdiReply stretch_dib_bits(const DeviceContext& dc, const StretchDibCall& call) = 0;
  virtual GdiReply end_page(const DeviceContext& dc) = 0;
  virtual GdiReply end_doc(const DeviceContext& dc) = 0;
  // Result ignored: the document is being given up anyway.
  virtual void abort_doc(const DeviceContext& dc) noexcept = 0;
  // Reached through DeviceContext.
  virtual void delete_dc(void* native) noexcept = 0;
  static constexpr auto release = &PrintDevices::delete_dc;
};

// The real graphics device interface of the Windows host (print_device_win32.cpp).
[[nodiscard]] PrintDevices& windows_print_devices();

}  // namespace vantrel
