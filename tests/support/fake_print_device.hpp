#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf.hpp"
#include "domain/printing/windows/print_device.hpp"
#include "fake_spooler.hpp"
#include "fault_plan.hpp"

namespace vantrel::fakes {

// A graphics device that logs every call and can fail any one of them with a chosen result and
// error code. Successful calls return positive values; StartDocW returns job_number.
class FakePrintDevices final : public PrintDevices {
 public:
  struct Failure {
    std::string_view call;  // "StartDocW", "StartPage", "StretchDIBits", "EndPage" or "EndDoc"
    int occurrence = 1;     // which call of that name fails (1 = the first)
    int value = 0;
    std::uint32_t error = 0;
  };

  // A copy of what one StretchDIBits call was given.
  struct Drawing {
    StretchDibCall call;
    LabelBitmapInfo info;
    std::vector<std::uint8_t> bits;  // as drawn: the caller's buffer may not outlive the call
  };

  std::optional<std::uint32_t> create_dc_error;  // CreateDCW returns null with this error
  // The settings each CreateDCW was given (nullopt: none) and whether they carried the driver's
  // private part through.
  std::vector<std::optional<FakeSettings>> dc_settings;
  bool private_part_lost = false;
  fakes::FaultPlan plan;
  // The failure's call fails with its value and error on its occurrence.
  void fail(const Failure& failure) {
    plan.fail(failure.call, failure.error, failure.occurrence, 1, failure.value);
  }
  std::map<int, int> caps{{88, 300}, {90, 300}, {8, 1200}, {10, 1800}};
  int job_number = 42;

  std::vector<std::string> calls;
  std::u16string device_name;  // as CreateDCW read it, up to its NUL
  // StartDocW's DOCINFOW, the name read up to its NUL.
  std::int32_t doc_size = 0;
  std::u16string doc_name;
  const char16_t* doc_output = reinterpret_cast<const char16_t*>(1);
  const char16_t* doc_datatype = reinterpret_cast<const char16_t*>(1);
  std::uint32_t doc_type = 99;
  std::vector<Drawing> drawings;
  int deleted = 0;
  bool foreign_dc = false;  // a call got a context this fake did not create, or a deleted one

  std::expected<DeviceContext, std::uint32_t> create_dc(const std::u16string& device,
                                                        const std::byte* settings) override {
    calls.push_back("CreateDCW(" + utf16_to_utf8(device) + (settings ? ", settings)" : ")"));
    device_name = device.c_str();
    dc_settings.push_back(settings ? std::optional(FakeSettings::read(settings)) : std::nullopt);
    if (settings && !FakeSettings::carried_through(settings)) private_part_lost = true;
    if (create_dc_error) return std::unexpected(*create_dc_error);
    if (const auto fault = plan.enter("CreateDCW")) return std::unexpected(fault->error);
    return DeviceContext(&context_, {this});
  }

  int get_device_caps(const DeviceContext& dc, int index) override {
    check(dc);
    calls.push_back("GetDeviceCaps(" + std::to_string(index) + ")");
    const auto found = caps.find(index);
    return found == caps.end() ? 0 : found->second;
  }

  GdiReply start_doc(const DeviceContext& dc, const LabelDocInfo& doc) override {
    check(dc);
    doc_size = doc.size;
    doc_name = doc.doc_name;
    doc_output = doc.output;
    doc_datatype = doc.datatype;
    doc_type = doc.type;
    return reply("StartDocW", job_number);
  }

  GdiReply start_page(const DeviceContext& dc) override {
    check(dc);
    return reply("StartPage", 1);
  }

  GdiReply stretch_dib_bits(const DeviceContext& dc, const StretchDibCall& call) override {
    check(dc);
    const auto* bits = static_cast<const std::uint8_t*>(call.bits);
    drawings.push_back(Drawing{call, *call.info, {bits, bits + call.info->size_image}});
    return reply("StretchDIBits", call.src_height);
  }

  GdiReply end_page(const DeviceContext& dc) override {
    check(dc);
    return reply("EndPage", 1);
  }

  GdiReply end_doc(const DeviceContext& dc) override {
    check(dc);
    return reply("EndDoc", 1);
  }

  void abort_doc(const DeviceContext& dc) noexcept override {
    check(dc);
    calls.push_back("AbortDoc");
  }

 private:
  void delete_dc(void* native) noexcept override {
    if (native != &context_ || deleted > 0) foreign_dc = true;
    ++deleted;
    calls.push_back("DeleteDC");
  }

  void check(const DeviceContext& dc) {
    if (dc.get() != &context_ || deleted > 0) foreign_dc = true;
  }

  GdiReply reply(const std::string& call, int success_value) {
    calls.push_back(call);
    if (const auto fault = plan.enter(call)) return GdiReply{fault->value, fault->error};
    return GdiReply{success_value, 0};
  }

  int context_ = 0;
};

}  // namespace vantrel::fakes
