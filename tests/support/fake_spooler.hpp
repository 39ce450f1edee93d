#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/utf.hpp"
#include "domain/printing/windows/spooler.hpp"
#include "fault_plan.hpp"

namespace vantrel::fakes {

inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
inline constexpr std::uint32_t ERROR_INVALID_PRINTER_NAME_CODE = 1801;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;

struct FakeJob {
  // GetJobW sizing: fails with sizing_error, reporting needed.
  std::uint32_t needed = JOB_INFO_1W_SIZE;
  std::uint32_t sizing_error = ERROR_INSUFFICIENT_BUFFER_CODE;
  // GetJobW filling: succeeds with status unless fill_error is set.
  std::optional<std::uint32_t> fill_error;
  std::uint32_t status = 0;
};

// The DEVMODEW fields the host reads and sets, as a driver writes them or the host gave them.
struct FakeSettings {
  std::uint16_t size = 220;  // dmSize and dmDriverExtra, as Wine's PostScript driver has them
  std::uint16_t driver_extra = 8;
  std::uint32_t fields = 0x1EF1F;
  std::int16_t orientation = 1;
  std::int16_t paper = 1;
  std::int16_t length = 2794;
  std::int16_t width = 2159;

  bool operator==(const FakeSettings&) const = default;

  template <class T>
  static void put(std::byte* out, std::size_t offset, T value) {
    std::memcpy(out + offset, &value, sizeof value);
  }
  template <class T>
  static T get(const std::byte* in, std::size_t offset) {
    T value;
    std::memcpy(&value, in + offset, sizeof value);
    return value;
  }
  // The whole structure, its other bytes a pattern the host must carry through.
  void write(std::byte* out) const {
    for (std::size_t i = 0; i < std::size_t{size} + driver_extra; ++i) {
      out[i] = static_cast<std::byte>(i * 7);
    }
    put(out, DEVMODE_SIZE_OFFSET, size);
    put(out, DEVMODE_DRIVER_EXTRA_OFFSET, driver_extra);
    put(out, DEVMODE_FIELDS_OFFSET, fields);
    put(out, DEVMODE_ORIENTATION_OFFSET, orientation);
    put(out, DEVMODE_PAPER_OFFSET, paper);
    put(out, DEVMODE_LENGTH_OFFSET, length);
    put(out, DEVMODE_WIDTH_OFFSET, width);
  }
  static FakeSettings read(const std::byte* in) {
    return {get<std::uint16_t>(in, DEVMODE_SIZE_OFFSET),
            get<std::uint16_t>(in, DEVMODE_DRIVER_EXTRA_OFFSET),
            get<std::uint32_t>(in, DEVMODE_FIELDS_OFFSET),
            get<std::int16_t>(in, DEVMODE_ORIENTATION_OFFSET),
            get<std::int16_t>(in, DEVMODE_PAPER_OFFSET),
            get<std::int16_t>(in, DEVMODE_LENGTH_OFFSET),
            get<std::int16_t>(in, DEVMODE_WIDTH_OFFSET)};
  }
  // Whether the rest of the structure is still the pattern write() left.
  static bool carried_through(const std::byte* in) {
    const FakeSettings fields = read(in);
    for (std::size_t i = DEVMODE_FIELDS_END; i < std::size_t{fields.size} + fields.driver_extra;
         ++i) {
      if (in[i] != static_cast<std::byte>(i * 7)) return false;
    }
    return true;
  }
};

// A paper as DeviceCapabilitiesW lists it: sizes in tenths of a millimetre.
struct FakePaper {
  std::uint16_t id = 0;
  std::int32_t width = 0;
  std::int32_t length = 0;
  std::u16string name;
};

struct FakePrinter {
  std::optional<std::uint32_t> open_error;  // OpenPrinterW fails with it
  // GetPrinterW level 6
  std::uint32_t status_needed = 4;
  std::optional<std::uint32_t> status_fill_error;
  std::uint32_t status = 0;
  // When not empty, each successful level-6 filling call takes the next status from here
  // instead (a queue whose state changes between two looks).
  std::vector<std::uint32_t> next_statuses;
  // GetJobW: jobs by number; any other number fails with missing_job_error and needed 0.
  std::map<std::uint32_t, FakeJob> jobs;
  std::uint32_t missing_job_error = ERROR_INVALID_PARAMETER_CODE;

  // DeviceCapabilitiesW: the lists, and the answers of the other capabilities (-1 for one not
  // here). `counts` makes a list's counting call claim another number of records; its filling
  // call then writes at most that many and answers the real number.
  std::vector<FakePaper> papers;
  std::vector<std::pair<std::int32_t, std::int32_t>> resolutions;
  std::optional<std::vector<std::u16string>> ready;  // nullopt: -1, as Wine answers
  std::map<std::uint16_t, int> values{{CAPABILITY_COLOR_DEVICE, 0}, {CAPABILITY_FIELDS, 0x2}};
  std::map<std::uint16_t, int> counts;
  // DocumentPropertiesW: the default settings and the size the counting call answers; a merge
  // answers its input as given, kept in `merges`.
  FakeSettings settings;
  int settings_bytes = 228;
  std::vector<FakeSettings> merges;
  bool private_part_lost = false;  // a merge's input did not carry the driver's bytes through

  // Printer-language documents: the driver's attributes, the print processor's datatypes
  // (nullopt: the query fails with error 6, as under Wine), and what each document received.
  std::uint32_t driver_attributes = 0;
  std::optional<std::vector<std::u16string>> datatypes =
      std::vector<std::u16string>{u"RAW", u"NT EMF 1.008", u"TEXT"};
  std::uint32_t write_limit = 0xFFFFFFFF;  // the most WritePrinter takes in one call
  struct RawJob {
    std::u16string title;
    std::u16string datatype;
    std::vector<std::uint8_t> bytes;
    bool ended = false;
    bool aborted = false;
  };
  std::vector<RawJob> raw_jobs;
};

// A spooler that serves whatever records, status words, failures and error codes a test sets up,
// and logs every call. Every buffer it is given is written up to its size rounded up to 8, so a
// buffer without that capacity shows up under AddressSanitizer.
class FakeSpooler final : public Spooler {
 public:
  // The PRINTER_INFO_4W records the enumeration returns; nullopt is an absent name pointer.
  // As the spooler does, the names are written into the caller's buffer after the records.
  std::vector<std::optional<std::u16string>> records;
  // The last name is written without its terminator, running to the end of the buffer.
  bool last_name_unterminated = false;
  bool enum_sizing_ok = false;
  std::uint32_t enum_sizing_error = ERROR_INSUFFICIENT_BUFFER_CODE;
  // default: 24 bytes per record and the names' units, 0 without records
  std::optional<std::uint32_t> enum_needed;
  std::optional<std::uint32_t> enum_fill_error;
  std::optional<std::uint32_t> enum_returned;  // default: the number of records

  // Queues that can be opened; any other name fails with ERROR_INVALID_PRINTER_NAME.
  std::map<std::u16string, FakePrinter> printers;

  // GetDefaultPrinterW: the name (nullopt: none set, sizing reports 0 units and error 2).
  std::optional<std::u16string> default_printer;
  std::optional<std::uint32_t> default_count;  // sizing count; default: name length + 1
  std::optional<std::uint32_t> default_fill_error;

  bool log_calls = true;
  std::vector<std::string> calls;
  // Faults and a hook at every call (plan.hook), shared with other fakes when a test wants.
  fakes::FaultPlan plan;
  bool misaligned_buffer = false;
  std::map<int, int> close_counts;  // handle number -> ClosePrinter calls
  int opened = 0;

  void add_printer(const std::u16string& name, std::uint32_t status = 0) {
    printers[name].status = status;
    records.emplace_back(name);
  }

  EnumPrintersReply enum_printers(std::uint32_t flags, std::uint32_t level, std::byte* buffer,
                                  std::uint32_t size) override {
    enter("EnumPrintersW", [&] {
      return "EnumPrintersW(" + std::to_string(flags) + ", " + std::to_string(level) + ", " +
             describe(buffer, size) + ")";
    });
    touch(buffer, size);
    EnumPrintersReply reply;
    const std::uint32_t needed = enum_needed.value_or(records_bytes());
    reply.needed = needed;
    if (buffer == nullptr || size < needed) {
      reply.ok = buffer == nullptr ? enum_sizing_ok : false;
      reply.last_error = buffer == nullptr ? enum_sizing_error : ERROR_INSUFFICIENT_BUFFER_CODE;
      return reply;
    }
    if (enum_fill_error) {
      reply.last_error = *enum_fill_error;
      return reply;
    }
    reply.ok = true;
    reply.returned = enum_returned.value_or(static_cast<std::uint32_t>(records.size()));
    auto* text = reinterpret_cast<char16_t*>(buffer + 24 * records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (!records[i]) {
        reply.names.push_back(nullptr);
        continue;
      }
      const bool terminated = !(last_name_unterminated && i + 1 == records.size());
      std::memcpy(text, records[i]->c_str(), (records[i]->size() + terminated) * sizeof(char16_t));
      reply.names.push_back(text);
      text += records[i]->size() + terminated;
    }
    return reply;
  }

  std::expected<PrinterHandle, std::uint32_t> open_printer(const std::u16string& name) override {
    enter("OpenPrinterW", [&] { return "OpenPrinterW(" + utf16_to_utf8(name) + ")"; });
    const auto found = printers.find(name);
    if (found == printers.end()) return std::unexpected(ERROR_INVALID_PRINTER_NAME_CODE);
    if (found->second.open_error) return std::unexpected(*found->second.open_error);
    const int number = ++opened;
    handles_[number] = &found->second;
    return PrinterHandle(reinterpret_cast<void*>(static_cast<std::intptr_t>(number)), {this});
  }

  GetPrinterReply get_printer(const PrinterHandle& printer, std::uint32_t level, std::byte* buffer,
                              std::uint32_t size) override {
    enter("GetPrinterW", [&] {
      return "GetPrinterW(#" + std::to_string(number(printer)) + ", " + std::to_string(level) +
             ", " + describe(buffer, size) + ")";
    });
    touch(buffer, size);
    FakePrinter& queue = *handles_.at(number(printer));
    GetPrinterReply reply;
    reply.needed = queue.status_needed;
    if (buffer == nullptr || size < queue.status_needed) {
      reply.last_error = ERROR_INSUFFICIENT_BUFFER_CODE;
      return reply;
    }
    if (queue.status_fill_error) {
      reply.last_error = *queue.status_fill_error;
      return reply;
    }
    reply.ok = true;
    reply.status = queue.status;
    if (!queue.next_statuses.empty()) {
      reply.status = queue.next_statuses.front();
      queue.next_statuses.erase(queue.next_statuses.begin());
    }
    return reply;
  }

  GetDefaultPrinterReply get_default_printer(char16_t* buffer, std::uint32_t count) override {
    enter("GetDefaultPrinterW", [&] {
      return "GetDefaultPrinterW(" + std::string(buffer ? "buffer" : "null") + ", " +
             std::to_string(count) + ")";
    });
    GetDefaultPrinterReply reply;
    const std::uint32_t needed = default_count.value_or(
        default_printer ? static_cast<std::uint32_t>(default_printer->size() + 1) : 0);
    reply.count = needed;
    if (!default_printer || needed == 0) {
      reply.count = 0;
      reply.last_error = ERROR_FILE_NOT_FOUND_CODE;
      return reply;
    }
    if (buffer == nullptr || count < needed) {
      reply.last_error = ERROR_INSUFFICIENT_BUFFER_CODE;
      return reply;
    }
    if (default_fill_error) {
      reply.last_error = *default_fill_error;
      return reply;
    }
    // Copies at most count units, terminator included when there is room for it.
    const std::u16string& name = *default_printer;
    const std::size_t units = std::min<std::size_t>(count, name.size() + 1);
    std::memcpy(buffer, name.c_str(), units * sizeof(char16_t));
    reply.ok = true;
    reply.count = static_cast<std::uint32_t>(units);
    return reply;
  }

  GetJobReply get_job(const PrinterHandle& printer, std::uint32_t job_id, std::uint32_t level,
                      std::byte* buffer, std::uint32_t size) override {
    enter("GetJobW", [&] {
      return "GetJobW(#" + std::to_string(number(printer)) + ", " + std::to_string(job_id) + ", " +
             std::to_string(level) + ", " + describe(buffer, size) + ")";
    });
    touch(buffer, size);
    const FakePrinter& queue = *handles_.at(number(printer));
    GetJobReply reply;
    const auto job = queue.jobs.find(job_id);
    if (job == queue.jobs.end()) {
      reply.last_error = queue.missing_job_error;
      return reply;
    }
    reply.needed = job->second.needed;
    if (buffer == nullptr || size < job->second.needed) {
      reply.last_error = job->second.sizing_error;
      return reply;
    }
    if (job->second.fill_error) {
      reply.last_error = *job->second.fill_error;
      return reply;
    }
    reply.ok = true;
    reply.status = job->second.status;
    return reply;
  }

  SpoolerValue device_capabilities(const std::u16string& device, std::uint16_t capability,
                                   std::byte* output) override {
    enter("DeviceCapabilitiesW", [&] {
      return "DeviceCapabilitiesW(" + utf16_to_utf8(device) + ", " + std::to_string(capability) +
             (output ? ", buffer)" : ", null)");
    });
    if (fault_) return *fault_;
    const auto found = printers.find(device);
    if (found == printers.end()) return {};  // Wine counts nothing for a queue it lacks
    FakePrinter& queue = found->second;
    const auto list = [&](std::size_t real, std::size_t record_bytes, auto write_record) {
      const auto claimed = queue.counts.find(capability);
      const std::size_t counted =
          claimed == queue.counts.end() ? real : static_cast<std::size_t>(claimed->second);
      if (output == nullptr) return SpoolerValue{static_cast<int>(counted), 0};
      for (std::size_t i = 0; i < std::min(real, counted); ++i) {
        write_record(output + i * record_bytes, i);
      }
      return SpoolerValue{static_cast<int>(real), 0};
    };
    const auto name = [](std::byte* out, const std::u16string& text) {
      std::memset(out, 0, PAPER_NAME_BYTES);
      std::memcpy(out, text.data(), std::min<std::size_t>(text.size(), PAPER_NAME_UNITS) * 2);
    };
    switch (capability) {
      case CAPABILITY_PAPERS:
        return list(queue.papers.size(), PAPER_ID_BYTES, [&](std::byte* out, std::size_t i) {
          FakeSettings::put(out, 0, queue.papers[i].id);
        });
      case CAPABILITY_PAPER_SIZES:
        return list(queue.papers.size(), PAPER_SIZE_BYTES, [&](std::byte* out, std::size_t i) {
          FakeSettings::put(out, 0, queue.papers[i].width);
          FakeSettings::put(out, 4, queue.papers[i].length);
        });
      case CAPABILITY_PAPER_NAMES:
        return list(queue.papers.size(), PAPER_NAME_BYTES,
                    [&](std::byte* out, std::size_t i) { name(out, queue.papers[i].name); });
      case CAPABILITY_RESOLUTIONS:
        return list(queue.resolutions.size(), RESOLUTION_BYTES, [&](std::byte* out, std::size_t i) {
          FakeSettings::put(out, 0, queue.resolutions[i].first);
          FakeSettings::put(out, 4, queue.resolutions[i].second);
        });
      case CAPABILITY_MEDIA_READY:
        if (!queue.ready) return SpoolerValue{-1, 0};
        return list(queue.ready->size(), PAPER_NAME_BYTES,
                    [&](std::byte* out, std::size_t i) { name(out, (*queue.ready)[i]); });
      default: {
        const auto value = queue.values.find(capability);
        return SpoolerValue{value == queue.values.end() ? -1 : value->second, 0};
      }
    }
  }

  SpoolerValue document_properties(const PrinterHandle& printer, const std::u16string& device,
                                   std::byte* output, const std::byte* input,
                                   std::uint32_t mode) override {
    enter("DocumentPropertiesW", [&] {
      return "DocumentPropertiesW(#" + std::to_string(number(printer)) + ", " +
             utf16_to_utf8(device) + ", " + (output ? "out" : "null") + ", " +
             (input ? "in" : "null") + ", " + std::to_string(mode) + ")";
    });
    if (fault_) return *fault_;
    FakePrinter& queue = *handles_.at(number(printer));
    if (mode == 0) return {queue.settings_bytes, 0};
    FakeSettings answer = queue.settings;
    if (input != nullptr) {
      queue.merges.push_back(FakeSettings::read(input));
      if (!FakeSettings::carried_through(input)) queue.private_part_lost = true;
      answer = queue.merges.back();
    }
    answer.write(output);
    return {SETTINGS_OK, 0};
  }

  std::expected<std::uint32_t, std::uint32_t> driver_attributes(
      const PrinterHandle& printer) override {
    enter("GetPrinterDriverW",
          [&] { return "GetPrinterDriverW(#" + std::to_string(number(printer)) + ", 8)"; });
    if (fault_) return std::unexpected(fault_->last_error);
    return handles_.at(number(printer))->driver_attributes;
  }

  std::expected<std::u16string, std::uint32_t> print_processor(
      const PrinterHandle& printer) override {
    enter("GetPrinterW",
          [&] { return "GetPrinterW(#" + std::to_string(number(printer)) + ", 2)"; });
    if (fault_) return std::unexpected(fault_->last_error);
    return u"winprint";
  }

  std::expected<std::vector<std::u16string>, std::uint32_t> processor_datatypes(
      const std::u16string& processor) override {
    enter("EnumPrintProcessorDatatypesW",
          [&] { return "EnumPrintProcessorDatatypesW(" + utf16_to_utf8(processor) + ")"; });
    if (fault_) return std::unexpected(fault_->last_error);
    // One queue's processor stands for all: the queue most recently opened.
    const FakePrinter& queue = *handles_.at(opened);
    if (!queue.datatypes) return std::unexpected(std::uint32_t{6});
    return *queue.datatypes;
  }

  std::expected<std::uint32_t, std::uint32_t> start_doc_printer(
      const PrinterHandle& printer, const std::u16string& title,
      const std::u16string& datatype) override {
    enter("StartDocPrinterW", [&] {
      return "StartDocPrinterW(#" + std::to_string(number(printer)) + ", " +
             utf16_to_utf8(datatype) + ")";
    });
    if (fault_) return std::unexpected(fault_->last_error);
    FakePrinter& queue = *handles_.at(number(printer));
    queue.raw_jobs.push_back({title, datatype, {}, false, false});
    raw_job_of_[number(printer)] = queue.raw_jobs.size() - 1;
    return static_cast<std::uint32_t>(40 + queue.raw_jobs.size());
  }

  WritePrinterReply write_printer(const PrinterHandle& printer,
                                  std::span<const std::uint8_t> bytes) override {
    enter("WritePrinter", [&] {
      return "WritePrinter(#" + std::to_string(number(printer)) + ", " +
             std::to_string(bytes.size()) + ")";
    });
    FakePrinter& queue = *handles_.at(number(printer));
    auto& job = queue.raw_jobs.at(raw_job_of_.at(number(printer)));
    // A planned fault's value is how many bytes the failing call still took.
    const std::size_t taken = std::min<std::size_t>(
        fault_ ? static_cast<std::size_t>(fault_->value) : queue.write_limit, bytes.size());
    job.bytes.insert(job.bytes.end(), bytes.begin(),
                     bytes.begin() + static_cast<std::ptrdiff_t>(taken));
    WritePrinterReply reply;
    reply.ok = !fault_;
    reply.last_error = fault_ ? fault_->last_error : 0;
    reply.written = static_cast<std::uint32_t>(taken);
    return reply;
  }

  SpoolerReply end_doc_printer(const PrinterHandle& printer) override {
    enter("EndDocPrinter",
          [&] { return "EndDocPrinter(#" + std::to_string(number(printer)) + ")"; });
    if (fault_) return {false, fault_->last_error};
    FakePrinter& queue = *handles_.at(number(printer));
    queue.raw_jobs.at(raw_job_of_.at(number(printer))).ended = true;
    return {true, 0};
  }

  void abort_printer(const PrinterHandle& printer) noexcept override {
    enter("AbortPrinter", [&] { return "AbortPrinter(#" + std::to_string(number(printer)) + ")"; });
    FakePrinter& queue = *handles_.at(number(printer));
    queue.raw_jobs.at(raw_job_of_.at(number(printer))).aborted = true;
  }

  // Handles opened and not closed.
  [[nodiscard]] int open_handles() const {
    int closed = 0;
    for (const auto& [handle, times] : close_counts) closed += times > 0 ? 1 : 0;
    return opened - closed;
  }
  [[nodiscard]] bool every_handle_closed_once() const {
    if (static_cast<int>(close_counts.size()) != opened) return false;
    for (const auto& [handle, times] : close_counts) {
      if (times != 1) return false;
    }
    return true;
  }

 private:
  void close_printer(void* native) noexcept override {
    const int handle = static_cast<int>(reinterpret_cast<std::intptr_t>(native));
    enter("ClosePrinter", [&] { return "ClosePrinter(#" + std::to_string(handle) + ")"; });
    ++close_counts[handle];
  }

  // The plan sees every call by its Win32 name. The calls above GetJobW answer what is
  // arranged; those below answer a planned fault's value and error instead.
  template <class Describe>
  void enter(std::string_view name, Describe describe_call) {
    fault_.reset();
    if (const auto fault = plan.enter(name)) fault_ = SpoolerValue{fault->value, fault->error};
    if (log_calls) calls.push_back(describe_call());
  }

  std::uint32_t records_bytes() const {
    std::size_t bytes = 24 * records.size();
    for (const auto& record : records) bytes += record ? 2 * (record->size() + 1) : 0;
    if (last_name_unterminated) bytes -= 2;
    return static_cast<std::uint32_t>(bytes);
  }

  static int number(const PrinterHandle& printer) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(printer.get()));
  }

  static std::string describe(const std::byte* buffer, std::uint32_t size) {
    return std::string(buffer == nullptr ? "null, " : "buffer, ") + std::to_string(size);
  }

  void touch(std::byte* buffer, std::uint32_t size) {
    if (buffer == nullptr) return;
    if (reinterpret_cast<std::uintptr_t>(buffer) % 8 != 0) misaligned_buffer = true;
    std::memset(buffer, 0xA5, (std::size_t{size} + 7) / 8 * 8);
  }

  std::map<int, FakePrinter*> handles_;
  std::map<int, std::size_t> raw_job_of_;  // handle number -> its document in raw_jobs
  std::optional<SpoolerValue> fault_;      // the current call's planned fault
};

}  // namespace vantrel::fakes
