#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "domain/messages/list_printers.hpp"
#include "domain/printing/windows/windows_print_system.hpp"
#include "fake_print_device.hpp"
#include "fake_spooler.hpp"
#include "fake_watchdogs.hpp"
#include "protocol/answers.hpp"

namespace {

constexpr int QUEUE_COUNT = 10'000;

// 10,000 queues in shuffled order with a mix of status words, as a large print server might list.
vantrel::fakes::FakeSpooler make_spooler() {
  vantrel::fakes::FakeSpooler spooler;
  spooler.log_calls = false;
  std::vector<int> order(QUEUE_COUNT);
  for (int i = 0; i < QUEUE_COUNT; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  constexpr std::uint32_t statuses[] = {0, 0x400, 0x80, 0x1, 0x8, 0x20000};
  for (const int i : order) {
    std::string name = "Label printer " + std::to_string(i) + " \xC3\xA9tage";
    spooler.add_printer(vantrel::utf8_to_utf16(name), statuses[i % 6]);
  }
  spooler.default_printer = u"Label printer 42 \u00E9tage";
  return spooler;
}

void BM_ListPrintQueues(benchmark::State& state) {
  auto spooler = make_spooler();
  vantrel::fakes::FakePrintDevices devices;
  vantrel::WindowsPrintSystem windows(spooler, devices);
  for (auto _ : state) {
    auto queues = windows.queues();
    benchmark::DoNotOptimize(queues);
  }
  state.SetItemsProcessed(state.iterations() * QUEUE_COUNT);
}
BENCHMARK(BM_ListPrintQueues)->Unit(benchmark::kMillisecond);

// The whole handler: listing, default queue and the result object, then its compact text.
void BM_HandleListPrintersAndEncode(benchmark::State& state) {
  auto spooler = make_spooler();
  vantrel::fakes::FakePrintDevices devices;
  vantrel::WindowsPrintSystem windows(spooler, devices);
  vantrel::fakes::FakeWatchdogs watchdogs;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto result = vantrel::handle_list_printers(windows, watchdogs);
    std::string out;
    vantrel::append_compact_json(out, vantrel::queue_listing_result(*result));
    bytes = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * QUEUE_COUNT);
  state.counters["answer_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_HandleListPrintersAndEncode)->Unit(benchmark::kMillisecond);

}  // namespace
