#include "domain/printing/windows/windows_print_system.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/os_error.hpp"
#include "domain/printing/label_printing.hpp"
#include "domain/printing/windows/queue_papers.hpp"
#include "fake_print_device.hpp"
#include "fake_spooler.hpp"

namespace vantrel {
namespace {

using fakes::FakeJob;
using fakes::FakePrintDevices;
using fakes::FakePrinter;
using fakes::FakeSpooler;

constexpr std::uint32_t ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t INVALID_PARAMETER_CODE = fakes::ERROR_INVALID_PARAMETER_CODE;
const std::u16string QUEUE = u"Label Printer";
constexpr std::uint32_t JOB_ID = 42;

using Listed = std::vector<std::pair<std::string, PrintQueueState>>;

Listed listed(const Result<std::vector<QueueStatus>>& queues) {
  Listed out;
  if (!queues) {
    ADD_FAILURE() << queues.error().message;
    return out;
  }
  for (const QueueStatus& queue : *queues) out.emplace_back(queue.name, queue.state);
  return out;
}

// The Windows print system over the fake spooler and graphics device. Whatever a test does,
// every printer handle is closed exactly once, every spooler buffer is 8-byte aligned, and no
// call gets a device context that is not the document's.
class WindowsPrintSystemTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(spooler.every_handle_closed_once());
    EXPECT_FALSE(spooler.misaligned_buffer);
    EXPECT_FALSE(devices.foreign_dc);
  }

  FakeSpooler spooler;
  FakePrintDevices devices;
  WindowsPrintSystem system{spooler, devices};
};

// ---- queues

using WindowsQueues = WindowsPrintSystemTest;

TEST_F(WindowsQueues, SizeThenFillEachListWithTheUnroundedNeededCount) {
  spooler.add_printer(u"Label", 0x400);
  spooler.default_printer = u"Label";
  // Not multiples of 8: the fake writes up to the next multiple, which only a rounded buffer holds.
  spooler.enum_needed = 50;
  spooler.printers[u"Label"].status_needed = 13;
  EXPECT_EQ(listed(system.queues()), (Listed{{"Label", PrintQueueState::printing}}));
  EXPECT_EQ(system.default_queue(), "Label");
  EXPECT_EQ(spooler.calls, (std::vector<std::string>{
                               "EnumPrintersW(6, 4, null, 0)",
                               "EnumPrintersW(6, 4, buffer, 50)",
                               "OpenPrinterW(Label)",
                               "GetPrinterW(#1, 6, null, 0)",
                               "GetPrinterW(#1, 6, buffer, 13)",
                               "ClosePrinter(#1)",
                               "GetDefaultPrinterW(null, 0)",
                               "GetDefaultPrinterW(buffer, 6)",
                           }));
}

TEST(SpoolerBuffer, CapacityIsRoundedUpToEightBytes) {
  for (const auto& [size, capacity] : {std::pair{0u, 0u}, {1u, 8u}, {8u, 8u}, {50u, 56u}}) {
    SpoolerBuffer buffer(size);
    EXPECT_EQ(buffer.capacity(), capacity) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 8, 0u);
  }
}

TEST_F(WindowsQueues, NoneWhenSizingSucceedsWithZeroBytesOrFillingReturnsNoEntries) {
  spooler.enum_sizing_ok = true;
  EXPECT_EQ(listed(system.queues()), Listed{});
  EXPECT_EQ(spooler.calls.size(), 1u);

  spooler.enum_sizing_ok = false;
  spooler.add_printer(u"Ghost");
  spooler.enum_returned = 0;
  EXPECT_EQ(listed(system.queues()), Listed{});
  EXPECT_EQ(spooler.opened, 0);
}

TEST_F(WindowsQueues, FailedEnumerationIsTheFailedCallsError) {
  const auto failure = [](std::uint32_t code) {
    return HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                     os_error_message("Windows could not enumerate print queues", code)};
  };
  spooler.enum_sizing_error = 1722;  // a stopped spooler: said so, not only the RPC error
  EXPECT_EQ(
      system.queues().error().message,
      os_error_message("The Windows print spooler is not running or cannot be reached", 1722));
  EXPECT_EQ(spooler.calls.size(), 1u);  // no buffer is filled after a sizing failure

  spooler.add_printer(u"A");
  spooler.enum_fill_error = ACCESS_DENIED_CODE;
  EXPECT_EQ(system.queues().error(), failure(ACCESS_DENIED_CODE));
  EXPECT_EQ(spooler.opened, 0);
}

// One queue whose status is read in the given way, and the state it stands for.
struct StatusCase {
  const char* name;
  std::function<void(FakePrinter&)> setup;
  PrintQueueState state;
};

class WindowsQueueState : public WindowsPrintSystemTest,
                          public ::testing::WithParamInterface<StatusCase> {};

TEST_P(WindowsQueueState, FollowsTheStatusWord) {
  spooler.add_printer(u"Q");
  GetParam().setup(spooler.printers[u"Q"]);
  EXPECT_EQ(listed(system.queues()), (Listed{{"Q", GetParam().state}}));
}

constexpr PrintQueueState IDLE = PrintQueueState::idle;
constexpr PrintQueueState PRINTING = PrintQueueState::printing;
constexpr PrintQueueState PAUSED = PrintQueueState::paused;
constexpr PrintQueueState OFFLINE = PrintQueueState::offline;
constexpr PrintQueueState ERROR_STATE = PrintQueueState::error;
constexpr PrintQueueState UNAVAILABLE = PrintQueueState::unavailable;

StatusCase with_status(const char* name, std::uint32_t status, PrintQueueState state) {
  return {name, [status](FakePrinter& printer) { printer.status = status; }, state};
}

INSTANTIATE_TEST_SUITE_P(
    StateRule, WindowsQueueState,
    ::testing::Values(
        with_status("NoBits", 0, IDLE), with_status("Paused", 0x1, PAUSED),
        with_status("Error", 0x2, ERROR_STATE), with_status("PendingDeletion", 0x4, ERROR_STATE),
        with_status("PaperJam", 0x8, ERROR_STATE), with_status("PaperOut", 0x10, ERROR_STATE),
        with_status("ManualFeed", 0x20, ERROR_STATE),
        with_status("PaperProblem", 0x40, ERROR_STATE), with_status("Offline", 0x80, OFFLINE),
        with_status("OutputBinFull", 0x800, ERROR_STATE),
        with_status("NotAvailable", 0x1000, ERROR_STATE),
        with_status("NoToner", 0x40000, ERROR_STATE), with_status("PagePunt", 0x80000, ERROR_STATE),
        with_status("UserIntervention", 0x100000, ERROR_STATE),
        with_status("OutOfMemory", 0x200000, ERROR_STATE),
        with_status("DoorOpen", 0x400000, ERROR_STATE),
        with_status("ServerUnknown", 0x800000, ERROR_STATE),
        with_status("IoActive", 0x100, PRINTING), with_status("Busy", 0x200, PRINTING),
        with_status("Printing", 0x400, PRINTING), with_status("Waiting", 0x2000, PRINTING),
        with_status("Processing", 0x4000, PRINTING), with_status("Initializing", 0x8000, PRINTING),
        with_status("WarmingUp", 0x10000, PRINTING), with_status("TonerLowAlone", 0x20000, IDLE),
        with_status("PowerSaveAlone", 0x1000000, IDLE),
        with_status("ServerOfflineAlone", 0x2000000, IDLE),
        with_status("DriverUpdateNeededAlone", 0x4000000, IDLE),
        with_status("PausedAndOffline", 0x81, PAUSED),
        with_status("OfflineWithPaperOut", 0x90, OFFLINE),
        with_status("ErrorWhilePrinting", 0x402, ERROR_STATE),
        with_status("PrintingWithTonerLow", 0x20400, PRINTING),
        StatusCase{"CannotBeOpened", [](FakePrinter& p) { p.open_error = 5; }, UNAVAILABLE},
        StatusCase{"StatusSizeTooShort", [](FakePrinter& p) { p.status_needed = 3; }, UNAVAILABLE},
        StatusCase{"StatusSizeZero", [](FakePrinter& p) { p.status_needed = 0; }, UNAVAILABLE},
        StatusCase{"StatusFillingFails", [](FakePrinter& p) { p.status_fill_error = 1722; },
                   UNAVAILABLE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowsQueues, EachQueueIsReadOnItsOwnInSpoolerOrder) {
  for (const char16_t* name : {u"Closed", u"Same", u"Short", u"Same", u"Fine"}) {
    spooler.records.emplace_back(name);
  }
  spooler.printers[u"Closed"].open_error = 1801;
  spooler.printers[u"Short"].status_needed = 2;
  spooler.printers[u"Same"].next_statuses = {0x1, 0x400};
  spooler.printers[u"Fine"].status = 0x80;
  EXPECT_EQ(listed(system.queues()), (Listed{{"Closed", UNAVAILABLE},
                                             {"Same", PAUSED},
                                             {"Short", UNAVAILABLE},
                                             {"Same", PRINTING},
                                             {"Fine", OFFLINE}}));
  // The queue that did not open has no handle to close; a status too short is never filled.
  EXPECT_EQ(spooler.opened, 4);
  EXPECT_TRUE(std::ranges::none_of(spooler.calls,
                                   [](const std::string& call) { return call.ends_with(", 2)"); }));
}

TEST_F(WindowsQueues, EmptyAndAbsentNamesAreSkipped) {
  spooler.records = {std::nullopt, u"", u"Real"};
  spooler.printers[u"Real"];
  spooler.printers[u""];
  EXPECT_EQ(listed(system.queues()), (Listed{{"Real", IDLE}}));
  EXPECT_EQ(spooler.opened, 1);
}

TEST_F(WindowsQueues, NameMustEndWithinItsUnitLimitAndTheFilledBuffer) {
  spooler.add_printer(std::u16string(MAX_QUEUE_NAME_UNITS - 1, u'n'), 0x80);
  EXPECT_EQ(listed(system.queues()),
            (Listed{{std::string(MAX_QUEUE_NAME_UNITS - 1, 'n'), OFFLINE}}));

  spooler.printers[u"Before"];
  // One name without a terminator in its first 32768 units; another running to the buffer's
  // end, which is a multiple of 8 there, so that reading one unit further is caught by ASan.
  for (bool cut_by_buffer_end : {false, true}) {
    spooler.records = {u"Before", std::u16string(MAX_QUEUE_NAME_UNITS, u'n'), u"After"};
    if (cut_by_buffer_end) spooler.records = {u"Before", u"Tail"};
    spooler.last_name_unterminated = cut_by_buffer_end;
    EXPECT_EQ(system.queues().error(),
              (HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                         "Windows returned an invalid print-queue name."}));
    EXPECT_EQ(spooler.calls.back(), "ClosePrinter(#" + std::to_string(spooler.opened) + ")")
        << "nothing is read after the bad name";
  }
}

TEST_F(WindowsQueues, NamesAreUtf8AndReopenedByTheListedName) {
  spooler.add_printer(u"\u00C9tiquettes \U0001F5A8", 0);
  spooler.records.emplace_back(u"Broken\xD800");
  // Reopened by the repaired name, which the spooler may or may not know.
  spooler.printers[u"Broken\uFFFD"].status = 0x400;
  EXPECT_EQ(listed(system.queues()), (Listed{{"\xC3\x89tiquettes \xF0\x9F\x96\xA8", IDLE},
                                             {"Broken\xEF\xBF\xBD", PRINTING}}));
}

struct DefaultCase {
  const char* name;
  std::function<void(FakeSpooler&)> setup;
  const char* expected;
};

class WindowsDefaultQueue : public WindowsPrintSystemTest,
                            public ::testing::WithParamInterface<DefaultCase> {};

TEST_P(WindowsDefaultQueue, IsTheSpoolersNameUpToItsFirstNul) {
  GetParam().setup(spooler);
  EXPECT_EQ(system.default_queue(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsDefaultQueue,
    ::testing::Values(
        DefaultCase{"NoneSet", [](FakeSpooler&) {}, ""},
        DefaultCase{"Set", [](FakeSpooler& s) { s.default_printer = u"Listed"; }, "Listed"},
        DefaultCase{"FillingFails",
                    [](FakeSpooler& s) {
                      s.default_printer = u"Listed";
                      s.default_fill_error = 1722;
                    },
                    ""},
        DefaultCase{"NoTerminatorTakesEveryUnit",
                    [](FakeSpooler& s) {
                      s.default_printer = u"Listed";
                      s.default_count = 6;
                    },
                    "Listed"},
        DefaultCase{"StopsAtTheFirstNul",
                    [](FakeSpooler& s) { s.default_printer = std::u16string(u"Left\0Right", 10); },
                    "Left"},
        DefaultCase{"UnpairedSurrogate", [](FakeSpooler& s) { s.default_printer = u"\xDC00x"; },
                    "\xEF\xBF\xBDx"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- jobs

struct JobCase {
  std::string name;
  std::function<void(FakePrinter&)> arrange;
  JobProgress progress;
};

void PrintTo(const JobCase& c, std::ostream* out) {
  *out << c.name;
}

class WindowsJobProgress : public WindowsPrintSystemTest,
                           public ::testing::WithParamInterface<JobCase> {};

TEST_P(WindowsJobProgress, FollowsTheStatusBitsAndWhyTheQueryFailed) {
  GetParam().arrange(spooler.printers[QUEUE]);
  EXPECT_EQ(system.job_progress("Label Printer", JOB_ID), GetParam().progress);
}

std::vector<JobCase> job_cases() {
  const auto status = [](std::uint32_t word) {
    return [word](FakePrinter& p) { p.jobs[JOB_ID].status = word; };
  };
  const auto fill_fails = [](std::uint32_t code) {
    return [code](FakePrinter& p) { p.jobs[JOB_ID].fill_error = code; };
  };
  const auto missing_job = [](std::uint32_t code) {
    return [code](FakePrinter& p) { p.missing_job_error = code; };
  };
  const auto short_size = [](std::uint32_t code) {
    return [code](FakePrinter& p) {
      p.jobs[JOB_ID].needed = JOB_INFO_1W_SIZE - 1;
      p.jobs[JOB_ID].sizing_error = code;
    };
  };
  const auto open_fails = [](std::uint32_t code) {
    return [code](FakePrinter& p) { p.open_error = code; };
  };
  using enum JobProgress;
  return {
      {"no_bits", status(0), queued},
      {"printing_and_spooling", status(0x10 | 0x8), queued},
      {"paused_with_error", status(0x1 | 0x2), queued},
      {"printed", status(0x80), completed},
      {"complete", status(0x1000), completed},
      {"complete_and_printed", status(0x1080), completed},
      {"deleted", status(0x100), deleted},
      {"deleted_and_printed", status(0x180), deleted},
      {"deleted_and_complete", status(0x1100), deleted},
      {"unknown_job_at_sizing", missing_job(INVALID_PARAMETER_CODE), gone},
      {"unknown_job_at_filling", fill_fails(INVALID_PARAMETER_CODE), gone},
      {"size_below_the_record_invalid_parameter", short_size(INVALID_PARAMETER_CODE), gone},
      {"size_below_the_record_other_error", short_size(122), unknown},
      {"sizing_fails_with_no_error", missing_job(0), unknown},
      {"sizing_access_denied", missing_job(ACCESS_DENIED_CODE), unknown},
      {"filling_access_denied", fill_fails(ACCESS_DENIED_CODE), unknown},
      {"queue_not_opened_invalid_parameter", open_fails(INVALID_PARAMETER_CODE), unknown},
      {"queue_unknown_to_the_spooler", open_fails(fakes::ERROR_INVALID_PRINTER_NAME_CODE), unknown},
  };
}

INSTANTIATE_TEST_SUITE_P(EveryRow, WindowsJobProgress, ::testing::ValuesIn(job_cases()),
                         [](const auto& info) { return info.param.name; });

using WindowsJobQuery = WindowsPrintSystemTest;

TEST_F(WindowsJobQuery, SizesThenFillsARoundedBufferAndNeverFillsOneBelowTheRecord) {
  FakeJob& job = spooler.printers[QUEUE].jobs[JOB_ID];
  job.needed = 100;  // the fake writes 104 bytes: the buffer must have been rounded
  EXPECT_EQ(system.job_progress("Label Printer", JOB_ID), JobProgress::queued);
  EXPECT_EQ(spooler.calls, (std::vector<std::string>{
                               "OpenPrinterW(Label Printer)",
                               "GetJobW(#1, 42, 1, null, 0)",
                               "GetJobW(#1, 42, 1, buffer, 100)",
                               "ClosePrinter(#1)",
                           }));

  spooler.calls.clear();
  job.needed = JOB_INFO_1W_SIZE - 1;
  job.sizing_error = ACCESS_DENIED_CODE;
  EXPECT_EQ(system.job_progress("Label Printer", JOB_ID), JobProgress::unknown);
  EXPECT_EQ(spooler.calls,
            (std::vector<std::string>{"OpenPrinterW(Label Printer)", "GetJobW(#2, 42, 1, null, 0)",
                                      "ClosePrinter(#2)"}));
}

// ---- label documents

LabelBitmap make_bitmap(std::uint32_t width, std::uint32_t height) {
  LabelBitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.pixels = std::make_unique_for_overwrite<std::uint8_t[]>(bitmap.size_bytes());
  std::memset(bitmap.pixels.get(), 0xFF, bitmap.size_bytes());
  return bitmap;
}

const LabelPlacement PLACEMENT{0, 12, 1150, 1725};

// A document driven as printing drives it: begun, a page per copy, ended, then given up.
PrintOutcome print_document(PrintSystem& system, std::string_view queue, std::string_view title,
                            const LabelBitmap& bitmap, int copies) {
  auto document = system.open_label_document(queue, std::nullopt);
  if (!document) return std::unexpected(document.error());
  if (auto refused = (*document)->begin(title)) return std::unexpected(*refused);
  for (int copy = 0; copy < copies; ++copy) {
    if (auto failed = (*document)->draw_page(bitmap, PLACEMENT)) return std::unexpected(*failed);
  }
  return (*document)->end();
}

using WindowsLabelDocument = WindowsPrintSystemTest;

TEST_F(WindowsLabelDocument, IsOneGdiDocumentOfAPagePerCopyDrawnFromTheCallersPixels) {
  devices.caps = {{88, 300}, {90, 600}, {8, 1150}, {10, 1750}};
  LabelBitmap bitmap = make_bitmap(812, 1218);
  bitmap.pixels[4 * 500] = 0x80;  // one grey pixel: not a black-and-white label
  {
    auto document = system.open_label_document("Label", std::nullopt);
    ASSERT_TRUE(document.has_value());
    const PrintableArea area = (*document)->printable_area();
    EXPECT_EQ((std::array{area.resolution.x_dpi, area.resolution.y_dpi, area.width, area.height}),
              (std::array{300, 600, 1150, 1750}));
    ASSERT_EQ((*document)->begin("t"), std::nullopt);
    for (int copy = 0; copy < 3; ++copy) {
      ASSERT_EQ((*document)->draw_page(bitmap, PLACEMENT), std::nullopt);
    }
    EXPECT_EQ((*document)->end(), 42u);
  }
  const std::vector<std::string> page{"StartPage", "StretchDIBits", "EndPage"};
  std::vector<std::string> expected{"CreateDCW(Label)", "GetDeviceCaps(88)", "GetDeviceCaps(90)",
                                    "GetDeviceCaps(8)", "GetDeviceCaps(10)", "StartDocW"};
  for (int copy = 0; copy < 3; ++copy) expected.insert(expected.end(), page.begin(), page.end());
  expected.insert(expected.end(), {"EndDoc", "DeleteDC"});
  EXPECT_EQ(devices.calls, expected);

  ASSERT_EQ(devices.drawings.size(), 3u);
  const StretchDibCall& draw = devices.drawings[0].call;
  EXPECT_EQ((std::array{draw.dest_x, draw.dest_y, draw.dest_width, draw.dest_height}),
            (std::array{0, 12, 1150, 1725}));
  EXPECT_EQ((std::array{draw.src_x, draw.src_y, draw.src_width, draw.src_height}),
            (std::array{0, 0, 812, 1218}));
  EXPECT_EQ(draw.bits, bitmap.pixels.get());  // drawn from the caller's bytes, not a copy
  EXPECT_EQ(draw.usage, 0u);                  // DIB_RGB_COLORS
  EXPECT_EQ(draw.rop, 0x00CC0020u);           // SRCCOPY
  LabelBitmapInfo top_down_32_bit;
  top_down_32_bit.size = 40;
  top_down_32_bit.width = 812;
  top_down_32_bit.height = -1218;
  top_down_32_bit.planes = 1;
  top_down_32_bit.bit_count = 32;
  top_down_32_bit.size_image = 4 * 812 * 1218;
  for (const auto& drawing : devices.drawings) {
    EXPECT_EQ(drawing.call, draw);
    EXPECT_EQ(drawing.info, top_down_32_bit);
  }
}

TEST_F(WindowsLabelDocument, BlackAndWhiteLabelGoesAsOneBitAPixel) {
  LabelBitmap bitmap = make_bitmap(33, 2);          // white; rows of 33 bits pad to 8 bytes
  std::memset(bitmap.pixels.get() + 4 * 33, 0, 4);  // the second row starts black
  bitmap.pixels[4 * 34 + 3] = 0;                    // whatever the filler byte says
  ASSERT_TRUE(print_document(system, "Label", "t", bitmap, 2));
  ASSERT_EQ(devices.drawings.size(), 2u);
  const LabelBitmapInfo& info = devices.drawings[0].info;
  EXPECT_EQ(std::tuple(info.bit_count, info.size_image, info.clr_used, info.height),
            std::tuple(std::uint16_t{1}, 16u, 2u, -2));
  EXPECT_EQ(info.colours[0], (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(info.colours[1], (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0}));
  EXPECT_EQ(devices.drawings[1].bits,
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0,  //
                                       0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0}));
}

TEST_F(WindowsLabelDocument, QueueNameAndTitleReachGdiAsUtf16) {
  const LabelBitmap bitmap = make_bitmap(100, 100);
  ASSERT_TRUE(print_document(system, "\xC3\x89tiquettes", "Colis \xE2\x84\x96 7", bitmap, 1));
  EXPECT_EQ(devices.device_name, u"\u00C9tiquettes");
  EXPECT_EQ(devices.doc_size, 40);
  EXPECT_EQ(devices.doc_name, u"Colis \u2116 7");
  EXPECT_EQ(devices.doc_output, nullptr);
  EXPECT_EQ(devices.doc_datatype, nullptr);
  EXPECT_EQ(devices.doc_type, 0u);
}

TEST_F(WindowsLabelDocument, QueueWithoutDeviceContextHasReachedNothing) {
  devices.create_dc_error = 1801;
  EXPECT_EQ(
      system.open_label_document("Missing", std::nullopt).error(),
      (PrintFailure{PrintReach::nothing,
                    {ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                     os_error_message("Windows could not open the selected print queue", 1801)}}));
  EXPECT_EQ(devices.calls, std::vector<std::string>{"CreateDCW(Missing)"});
}

TEST_F(WindowsLabelDocument, LabelThatDoesNotFitIsRefusedAndTheContextOnlyDeleted) {
  EXPECT_EQ(system.label_does_not_fit(),
            (PrintFailure{PrintReach::refused,
                          {ErrorCode::MEDIA_MISMATCH,
                           "The selected Windows queue's paper size or orientation does not "
                           "safely fit this label."}}));
  (void)system.open_label_document("Label", std::nullopt).value()->printable_area();
  EXPECT_EQ(devices.calls.back(), "DeleteDC");
  EXPECT_EQ(devices.calls.size(), 6u);  // CreateDCW, four GetDeviceCaps, DeleteDC
  EXPECT_EQ(devices.deleted, 1);
}

struct FailureCase {
  const char* name;
  FakePrintDevices::Failure failure;
  ErrorCode code;
  const char* text;
  std::vector<std::string> last_calls;  // the log ends with these
};

class WindowsLabelDocumentFailure : public WindowsPrintSystemTest,
                                    public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WindowsLabelDocumentFailure, IsClassifiedAndGivesTheDocumentUp) {
  const FailureCase& c = GetParam();
  devices.fail(c.failure);
  const LabelBitmap bitmap = make_bitmap(812, 1218);
  const auto job = print_document(system, "Label", "t", bitmap, 2);
  ASSERT_FALSE(job.has_value());
  // Only a failure after the document was started may have left a job behind.
  const bool started = c.code == ErrorCode::UNKNOWN_OUTCOME;
  EXPECT_EQ(job.error(), (PrintFailure{started ? PrintReach::unknown : PrintReach::refused,
                                       {c.code, os_error_message(c.text, c.failure.error)}}));
  ASSERT_GE(devices.calls.size(), c.last_calls.size());
  EXPECT_EQ(
      std::vector<std::string>(devices.calls.end() - c.last_calls.size(), devices.calls.end()),
      c.last_calls);
  EXPECT_EQ(devices.deleted, 1);
  EXPECT_EQ(std::ranges::count(devices.calls, "AbortDoc"), started ? 1 : 0);
}

constexpr const char* START_PAGE = "Windows could not start the label page";
constexpr const char* RENDER = "Windows could not render the label to the print queue";
constexpr const char* END_PAGE = "Windows could not finish the label page";
constexpr const char* END_DOC =
    "Windows may have queued the label but did not acknowledge the completed document";

INSTANTIATE_TEST_SUITE_P(
    Calls, WindowsLabelDocumentFailure,
    ::testing::Values(FailureCase{"StartDocZero",
                                  {"StartDocW", 1, 0, 5},
                                  ErrorCode::SUBMISSION_REJECTED,
                                  "Windows rejected the print job",
                                  {"CreateDCW(Label)", "StartDocW", "DeleteDC"}},
                      FailureCase{"StartDocNegative",
                                  {"StartDocW", 1, -1, 1804},
                                  ErrorCode::SUBMISSION_REJECTED,
                                  "Windows rejected the print job",
                                  {"StartDocW", "DeleteDC"}},
                      FailureCase{"StartPage",
                                  {"StartPage", 1, 0, 6},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  START_PAGE,
                                  {"StartDocW", "StartPage", "AbortDoc", "DeleteDC"}},
                      FailureCase{"StartPageOfSecondCopy",
                                  {"StartPage", 2, -3, 6},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  START_PAGE,
                                  {"EndPage", "StartPage", "AbortDoc", "DeleteDC"}},
                      FailureCase{"StretchDIBitsNoLines",
                                  {"StretchDIBits", 1, 0, 8},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  RENDER,
                                  {"StartPage", "StretchDIBits", "AbortDoc", "DeleteDC"}},
                      FailureCase{"StretchDIBitsGdiError",
                                  {"StretchDIBits", 2, -1, 1450},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  RENDER,
                                  {"StartPage", "StretchDIBits", "AbortDoc", "DeleteDC"}},
                      FailureCase{"EndPage",
                                  {"EndPage", 1, 0, 1450},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  END_PAGE,
                                  {"StretchDIBits", "EndPage", "AbortDoc", "DeleteDC"}},
                      FailureCase{"EndDoc",
                                  {"EndDoc", 1, 0, 6},
                                  ErrorCode::UNKNOWN_OUTCOME,
                                  END_DOC,
                                  {"EndPage", "EndDoc", "AbortDoc", "DeleteDC"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowsLabelDocument, OtherStretchResultsCountAsDrawn) {
  // Only 0 and GDI_ERROR mean failure; drivers report line counts their own way.
  devices.fail(FakePrintDevices::Failure{"StretchDIBits", 1, -2, 0});
  const LabelBitmap bitmap = make_bitmap(812, 1218);
  EXPECT_EQ(print_document(system, "Label", "t", bitmap, 1), 42u);
  EXPECT_EQ(std::ranges::count(devices.calls, "AbortDoc"), 0);
}

// ---- what a queue offers, and media selected on it

constexpr int PHYSICAL_WIDTH = 110;

// A 203-dpi queue with papers as a driver lists them: two of one size, one of no size.
class WindowsQueueMedia : public WindowsPrintSystemTest {
 protected:
  WindowsQueueMedia() {
    spooler.add_printer(QUEUE, 0x400);
    spooler.default_printer = QUEUE;
    queue().papers = {{1, 2159, 2794, u"Letter"}, {9, 2099, 2970, u"A4"},
                      {256, 1016, 1524, u"4x6"},  {257, 1016, 1524, u"4x6 again"},
                      {258, 0, 0, u"Broken"},     {259, 571, 317, u"2.25x1.25"}};
    queue().resolutions = {{203, 203}, {300, 300}, {203, 203}};
    queue().ready = {u"4x6 again", u"Unknown", u"4x6"};
    queue().values[CAPABILITY_COLOR_DEVICE] = 1;
    queue().settings.paper = 256;
    page(812, 1218);
    for (const auto& [index, value] : {std::pair{112, 20}, {113, 21}, {8, 771}, {10, 1177}}) {
      devices.caps[index] = value;
    }
  }
  void TearDown() override {
    WindowsPrintSystemTest::TearDown();
    EXPECT_FALSE(queue().private_part_lost || devices.private_part_lost);
  }
  FakePrinter& queue() { return spooler.printers[QUEUE]; }
  void page(int width, int height) {
    devices.caps[88] = devices.caps[90] = 203;
    devices.caps[PHYSICAL_WIDTH] = width;
    devices.caps[111] = height;
  }
  int calls_of(std::string_view prefix) const {
    return static_cast<int>(std::ranges::count_if(
        spooler.calls, [&](const std::string& call) { return call.starts_with(prefix); }));
  }
};

const MediaArea AREA_4X6_MARGINS{2502, 2628, 96470, 147270};  // 20/21 and 771 x 1177 at 203 dpi

TEST_F(WindowsQueueMedia, DetailsNameEachPaperWithTheDefaultPapersAreaFromOneContext) {
  const auto details = system.printer_details("Label Printer");
  ASSERT_TRUE(details.has_value()) << details.error().message;
  PrinterDetails expected;
  expected.name = "Label Printer";
  expected.state = PrintQueueState::printing;
  expected.is_default = true;
  expected.color = true;
  expected.resolutions = {{203, 203}, {300, 300}};
  expected.default_resolution = Resolution{203, 203};
  expected.media = {{"na_letter_8.5x11in", {215900, 279400}, std::nullopt},
                    {"iso_a4_210x297mm", {209900, 297000}, std::nullopt},
                    {"na_index-4x6_4x6in", {101600, 152400}, AREA_4X6_MARGINS},
                    // A second paper of a size is a media of its own name.
                    {"oe_4x-6-again_4x6in", {101600, 152400}, std::nullopt},
                    {"custom_2.25x1.25in", {57100, 31700}, std::nullopt}};
  expected.default_media = "na_index-4x6_4x6in";
  expected.ready_media = {"oe_4x-6-again_4x6in", "na_index-4x6_4x6in"};
  expected.raw = true;
  EXPECT_EQ(*details, expected);
  EXPECT_EQ(devices.dc_settings,
            (std::vector<std::optional<fakes::FakeSettings>>{queue().settings}));
  EXPECT_EQ(devices.deleted, 1);
}

struct DriverCase {
  const char* name;
  std::function<void(FakeSpooler&, FakePrintDevices&)> arrange;
  // What the details keep: an error, or the default media, its area, the default resolution
  // and how many resolutions and loaded media.
  std::optional<std::string> error;
  std::string default_media = "na_index-4x6_4x6in";
  bool area = true;
  bool resolution = true;
  std::size_t resolutions = 2;
  std::size_t ready = 2;
};

class WindowsDriverAnswers : public WindowsQueueMedia,
                             public ::testing::WithParamInterface<DriverCase> {};

TEST_P(WindowsDriverAnswers, AreBoundedAndWhatFailsIsLeftUnknown) {
  const DriverCase& c = GetParam();
  c.arrange(spooler, devices);
  const auto details = system.printer_details("Label Printer");
  if (c.error) {
    ASSERT_FALSE(details.has_value());
    EXPECT_EQ(details.error(), (HostError{ErrorCode::PRE_SUBMIT_UNAVAILABLE, *c.error}));
    return;
  }
  ASSERT_TRUE(details.has_value()) << details.error().message;
  EXPECT_EQ(details->media.size(), 5u);
  EXPECT_EQ(details->default_media, c.default_media);
  EXPECT_EQ(details->media[2].printable_area.has_value(), c.area);
  EXPECT_EQ(details->default_resolution.has_value(), c.resolution);
  EXPECT_EQ(details->resolutions.size(), c.resolutions);
  EXPECT_EQ(details->ready_media.size(), c.ready);
}

void fail_call(FakeSpooler& s, const char* call, int occurrence) {
  s.plan.fail(call, ACCESS_DENIED_CODE, occurrence, 1, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsDriverAnswers,
    ::testing::Values(
        DriverCase{"PaperCountBeyondTheBound",
                   [](FakeSpooler& s, FakePrintDevices&) {
                     s.printers[QUEUE].counts[CAPABILITY_PAPERS] = MAX_DRIVER_PAPERS + 1;
                   },
                   "Windows listed 4097 papers for the selected print queue, more than it can "
                   "have."},
        DriverCase{"PapersFilledBeyondTheirCount",
                   [](FakeSpooler& s, FakePrintDevices&) {
                     s.printers[QUEUE].counts[CAPABILITY_PAPER_SIZES] = 2;
                   },
                   "Windows listed 6 papers for the selected print queue, more than it can have."},
        DriverCase{
            "PaperNamesFail",
            [](FakeSpooler& s, FakePrintDevices&) { fail_call(s, "DeviceCapabilitiesW", 5); },
            std::nullopt, "na_index-4x6_4x6in", true, true, 2, 0},
        DriverCase{"ResolutionCountBeyondTheBound",
                   [](FakeSpooler& s, FakePrintDevices&) {
                     s.printers[QUEUE].counts[CAPABILITY_RESOLUTIONS] = MAX_DRIVER_RESOLUTIONS + 1;
                   },
                   std::nullopt, "na_index-4x6_4x6in", true, true, 0, 2},
        DriverCase{
            "SettingsFail",
            [](FakeSpooler& s, FakePrintDevices&) { fail_call(s, "DocumentPropertiesW", 2); },
            std::nullopt, "", false, false},
        DriverCase{"SettingsTooShort",
                   [](FakeSpooler& s, FakePrintDevices&) {
                     s.printers[QUEUE].settings_bytes = DEVMODE_FIELDS_END - 1;
                   },
                   std::nullopt, "", false, false},
        DriverCase{
            "SettingsClaimMoreThanTheirSize",
            [](FakeSpooler& s, FakePrintDevices&) { s.printers[QUEUE].settings.driver_extra = 9; },
            std::nullopt, "", false, false},
        DriverCase{
            "DefaultPaperNotListed",
            [](FakeSpooler& s, FakePrintDevices&) { s.printers[QUEUE].settings.paper = 9999; },
            std::nullopt, "", false, true},
        DriverCase{"NoDeviceContext",
                   [](FakeSpooler&, FakePrintDevices& d) { d.create_dc_error = 1801; },
                   std::nullopt, "na_index-4x6_4x6in", false, false},
        DriverCase{"PageIsNotTheDefaultPaper",
                   [](FakeSpooler&, FakePrintDevices& d) {
                     d.caps[PHYSICAL_WIDTH] = 1218;
                     d.caps[111] = 812;
                   },
                   std::nullopt, "na_index-4x6_4x6in", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct SelectionCase {
  const char* name;
  MediaSize media;
  std::map<std::uint16_t, int> values;          // DC_FIELDS and the extents
  std::optional<fakes::FakeSettings> selected;  // nullopt: not offered
  const char* media_name = "m";
};

const std::map<std::uint16_t, int> TAKES_CUSTOM{
    {CAPABILITY_FIELDS, 0xC},
    {CAPABILITY_MIN_EXTENT, 0x007F00FE},   // 25.4 x 12.7 mm
    {CAPABILITY_MAX_EXTENT, 0x26B2086F}};  // 215.9 x 990.6 mm
// Wine's driver claims the fields and reports the span of its papers as its extents.
const std::map<std::uint16_t, int> SPAN_OF_ITS_PAPERS{
    {CAPABILITY_FIELDS, 0xC},
    {CAPABILITY_MIN_EXTENT, 0x013D023B},   // 57.1 x 31.7 mm
    {CAPABILITY_MAX_EXTENT, 0x0B9A086F}};  // 215.9 x 297 mm

class WindowsMediaSelection : public WindowsQueueMedia,
                              public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(WindowsMediaSelection, SetsThePaperOrCustomSizeAndOrientationOnTheDefaultSettings) {
  const SelectionCase& c = GetParam();
  for (const auto& [capability, value] : c.values) queue().values[capability] = value;
  queue().settings.paper = 1;
  const MediaRequest media{c.media_name, c.media};
  // get_printer tells the range of the custom sizes a submit takes, and no other.
  EXPECT_EQ(system.printer_details("Label Printer")->custom_range.has_value(),
            c.values == TAKES_CUSTOM);
  devices.deleted = 0;  // the document's context is another
  devices.dc_settings.clear();
  devices.calls.clear();
  spooler.calls.clear();
  page(static_cast<int>(std::lround(c.media.width_um * 203 / 25400.0)),
       static_cast<int>(std::lround(c.media.height_um * 203 / 25400.0)));
  const auto document = system.open_label_document("Label Printer", media);
  if (!c.selected) {
    EXPECT_EQ(document.error(), media_not_offered(media));
    EXPECT_EQ(calls_of("DocumentPropertiesW"), 0);
    EXPECT_TRUE(devices.calls.empty());
    return;
  }
  ASSERT_TRUE(document.has_value()) << document.error().error.message;
  // Selected, merged, and the defaults merged back before the device context is made on the
  // merged settings.
  EXPECT_EQ(queue().merges, (std::vector{*c.selected, queue().settings}));
  EXPECT_EQ(devices.dc_settings, (std::vector<std::optional<fakes::FakeSettings>>{c.selected}));
}

fakes::FakeSettings selected(std::int16_t paper, std::int16_t orientation) {
  fakes::FakeSettings settings;
  settings.fields = 0xEF13;  // orientation and paper, no custom size, no form name
  settings.paper = paper;
  settings.orientation = orientation;
  return settings;
}

fakes::FakeSettings custom(std::int16_t width, std::int16_t length) {
  fakes::FakeSettings settings;
  settings.fields = 0xEF1F;  // orientation, paper and custom size, no form name
  settings.paper = 256;      // DMPAPER_USER
  settings.width = width;
  settings.length = length;
  return settings;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsMediaSelection,
    ::testing::Values(
        SelectionCase{"PaperOfTheSize", {101600, 152400}, {}, selected(256, 1)},
        SelectionCase{"PaperWithinHalfAMillimetre", {210000, 297000}, {}, selected(9, 1)},
        SelectionCase{"TurnedPaperPrintsLandscape", {152400, 101600}, {}, selected(256, 2)},
        SelectionCase{
            "CustomSizeWhereTheDriverTakesOne", {76200, 127000}, TAKES_CUSTOM, custom(762, 1270)},
        SelectionCase{"CustomSizeBeyondTheExtents", {20000, 20000}, TAKES_CUSTOM, std::nullopt},
        SelectionCase{"NoCustomSizes", {76200, 127000}, {}, std::nullopt},
        SelectionCase{"ExtentsThatSpanThePapersAreNoCustomSizes",
                      {76200, 127000},
                      SPAN_OF_ITS_PAPERS,
                      std::nullopt},
        // Just beyond half a millimetre of a paper, and no custom sizes: not that paper.
        SelectionCase{"SizeBeyondHalfAMillimetre", {102200, 152400}, {}, std::nullopt},
        SelectionCase{"SecondPaperOfASizeByItsName",
                      {101600, 152400},
                      {},
                      selected(257, 1),
                      "oe_4x-6-again_4x6in"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowsQueueMedia, PageReadBackMoreThanAMillimetreOffIsRefusedBeforeAnyDocument) {
  const MediaRequest media{"na_index-4x6_4x6in", {101600, 152400}};
  page(812, 1225);  // 153.276 mm: within a millimetre
  EXPECT_TRUE(system.open_label_document("Label Printer", media).has_value());
  devices.deleted = 0;  // a second context
  page(812, 1226);
  EXPECT_EQ(system.open_label_document("Label Printer", media).error(),
            media_not_applied(media, {101600, 153401}));
  EXPECT_EQ(devices.calls.back(), "DeleteDC");
  EXPECT_EQ(std::ranges::count(devices.calls, "StartDocW"), 0);
}

struct MediaFailureCase {
  const char* name;
  const char* call;
  int occurrence;
  const char* text;
  int merges;  // DocumentPropertiesW calls with settings given: the merge, then the defaults
};

class WindowsMediaFailure : public WindowsQueueMedia,
                            public ::testing::WithParamInterface<MediaFailureCase> {};

TEST_P(WindowsMediaFailure, HasReachedNothing) {
  const MediaFailureCase& c = GetParam();
  if (c.call == std::string_view("CreateDCW")) {
    devices.plan.fail("CreateDCW", ACCESS_DENIED_CODE);
  } else if (c.call == std::string_view("OpenPrinterW")) {
    queue().open_error = ACCESS_DENIED_CODE;
  } else {
    fail_call(spooler, c.call, c.occurrence);
  }
  const auto document =
      system.open_label_document("Label Printer", MediaRequest{"m", {101600, 152400}});
  EXPECT_EQ(document.error(), (PrintFailure{PrintReach::nothing,
                                            {ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                                             os_error_message(c.text, ACCESS_DENIED_CODE)}}));
  // The defaults are merged back once a merge was tried.
  EXPECT_EQ(calls_of("DocumentPropertiesW(#1, Label Printer, out, in"), c.merges);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, WindowsMediaFailure,
    ::testing::Values(
        MediaFailureCase{"OpenPrinter", "OpenPrinterW", 1,
                         "Windows could not open the selected print queue", 0},
        MediaFailureCase{"Papers", "DeviceCapabilitiesW", 2,
                         "Windows could not list the papers of the selected print queue", 0},
        MediaFailureCase{"SettingsSizing", "DocumentPropertiesW", 1,
                         "Windows could not read the selected print queue's settings", 0},
        MediaFailureCase{"Merge", "DocumentPropertiesW", 3,
                         "Windows could not select the media on the selected print queue", 2},
        MediaFailureCase{"DeviceContext", "CreateDCW", 1,
                         "Windows could not open the selected print queue", 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- printer-language documents

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST_F(WindowsQueueMedia, RawBytesGoUnchangedOnTheDefaultPaperWhateverEachWriteTakes) {
  queue().write_limit = 5;
  auto document = system.open_raw_document("Label Printer", std::nullopt);
  ASSERT_TRUE(document.has_value()) << document.error().error.message;
  EXPECT_EQ((*document)->page().size, (MediaSize{101'600, 152'400}));
  EXPECT_EQ((*document)->page().resolutions, (std::vector<Resolution>{{203, 203}, {300, 300}}));
  const std::string label = "^XA^PW812^XZ";
  ASSERT_EQ(print_raw_labels(**document, "Order 7", {{{bytes_of(label), 2}}}), 41u);
  ASSERT_EQ(queue().raw_jobs.size(), 1u);
  EXPECT_EQ(queue().raw_jobs[0].datatype, u"RAW");
  EXPECT_EQ(queue().raw_jobs[0].title, u"Order 7");
  EXPECT_EQ(std::string(queue().raw_jobs[0].bytes.begin(), queue().raw_jobs[0].bytes.end()),
            label + label);
  EXPECT_TRUE(queue().raw_jobs[0].ended);
  EXPECT_EQ(calls_of("WritePrinter"), 6);  // 5 + 5 + 2 bytes, twice

  // A media is only checked against the papers: the bytes set the device up themselves.
  EXPECT_EQ(system.open_raw_document("Label Printer", MediaRequest{"x", {57'100, 31'700}})
                .value()
                ->page()
                .size,
            (MediaSize{57'100, 31'700}));
  EXPECT_EQ(system.open_raw_document("Label Printer", MediaRequest{"y", {50'000, 50'000}})
                .error()
                .error.code,
            ErrorCode::MEDIA_UNSUPPORTED);
}

struct DatatypeCase {
  const char* name;
  std::uint32_t driver_attributes;
  std::optional<std::vector<std::u16string>> datatypes;
  std::u16string sent;  // "" when refused
  std::optional<bool> raw;
};

class WindowsRawDatatype : public WindowsQueueMedia,
                           public ::testing::WithParamInterface<DatatypeCase> {};

TEST_P(WindowsRawDatatype, FollowsTheDriverAndWhatTheProcessorTakes) {
  const DatatypeCase& c = GetParam();
  queue().driver_attributes = c.driver_attributes;
  queue().datatypes = c.datatypes;
  EXPECT_EQ(system.printer_details("Label Printer")->raw, c.raw);
  auto document = system.open_raw_document("Label Printer", std::nullopt);
  if (c.sent.empty()) {
    ASSERT_FALSE(document.has_value());
    EXPECT_EQ(document.error().reach, PrintReach::nothing);
    EXPECT_EQ(document.error().error.code, ErrorCode::SUBMISSION_REJECTED);
    return;
  }
  ASSERT_TRUE(document.has_value());
  ASSERT_EQ((*document)->begin("t"), std::nullopt);
  EXPECT_EQ(queue().raw_jobs.at(0).datatype, c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, WindowsRawDatatype,
    ::testing::Values(DatatypeCase{"GdiDriver", 0,
                                   std::vector<std::u16string>{u"NT EMF 1.008", u"raw"}, u"RAW",
                                   true},
                      DatatypeCase{"XpsDriver", DRIVER_ATTRIBUTE_XPS,
                                   std::vector<std::u16string>{u"RAW", u"XPS_PASS"}, u"XPS_PASS",
                                   true},
                      DatatypeCase{"XpsDriverWithoutPassThrough", DRIVER_ATTRIBUTE_XPS,
                                   std::vector<std::u16string>{u"RAW"}, u"", false},
                      DatatypeCase{"ProcessorWithoutRaw", 0,
                                   std::vector<std::u16string>{u"NT EMF 1.008"}, u"", false},
                      // Wine cannot list a processor's datatypes: RAW is sent and nobody can tell.
                      DatatypeCase{"DatatypesUnknown", 0, std::nullopt, u"RAW", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowsQueueMedia, AFailedWriteIsCertainBeforeTheFirstByteAndUnknownAfterIt) {
  const std::string label = "^XA^XZ";
  const auto print_failing = [&](const char* call, int occurrence, int taken) {
    spooler.plan.fail(call, ACCESS_DENIED_CODE, occurrence, 1, taken);
    auto document = system.open_raw_document("Label Printer", std::nullopt);
    return print_raw_labels(**document, "t", {{{bytes_of(label), 2}}});
  };
  const auto first_write = print_failing("WritePrinter", 1, 0);
  EXPECT_EQ(first_write.error().reach, PrintReach::refused);
  EXPECT_EQ(first_write.error().error.code, ErrorCode::SUBMISSION_REJECTED);
  EXPECT_TRUE(queue().raw_jobs.back().aborted);
  // The second copy's write: the first copy is with the spooler.
  EXPECT_EQ(print_failing("WritePrinter", 2, 0).error().reach, PrintReach::unknown);
  // A write that took some bytes and then failed.
  EXPECT_EQ(print_failing("WritePrinter", 1, 3).error().reach, PrintReach::unknown);
  EXPECT_EQ(print_failing("EndDocPrinter", 1, 0).error().error.code, ErrorCode::UNKNOWN_OUTCOME);
  EXPECT_EQ(print_failing("StartDocPrinterW", 1, 0).error().reach, PrintReach::refused);
}

}  // namespace
}  // namespace vantrel
