#include <benchmark/benchmark.h>

#include <cstdio>

#include "domain/state/host_state.hpp"
#include "fake_state_files.hpp"

namespace {

using vantrel::fakes::FakeStateFiles;

// A full ledger: 5,000 settled attempts of realistic size (about 2 MB on disk).
vantrel::HostLedger full_ledger(std::uint64_t now_ms) {
  vantrel::HostLedger ledger{1, now_ms, {}};
  char id[64];
  for (int i = 0; i < 5000; ++i) {
    std::snprintf(id, sizeof id, "order-%06d:label-%04d.shipment_%08x", i * 7, i % 97,
                  i * 2654435761u);
    vantrel::JobRecord record{
        id,
        std::string(64, "0123456789abcdef"[i % 16]),
        i % 10 == 0 ? vantrel::AttemptState::FAILED : vantrel::AttemptState::COMPLETED,
        "Warehouse Zebra ZD421 (203 dpi) \xC3\xA9tiquettes",
        i % 10 == 0 ? "" : std::to_string(1000 + i),
        now_ms - 86'400'000 + static_cast<std::uint64_t>(i),
        now_ms - 3'600'000 + static_cast<std::uint64_t>(i),
        i % 10 == 0 ? "SUBMISSION_REJECTED" : "",
        i % 10 == 0 ? "Windows rejected the print job: The printer is out "
                      "of paper. (os error 28)"
                    : "",
        ""};
    ledger.jobs.emplace(id, std::move(record));
  }
  return ledger;
}

FakeStateFiles& files_with_full_ledger() {
  static FakeStateFiles files(vantrel::fakes::Flavour::windows);
  static const bool filled = [] {
    return vantrel::save_ledger(files.store(), full_ledger(files.store().now_unix_ms()))
        .has_value();
  }();
  (void)filled;
  return files;
}

std::int64_t ledger_file_size(FakeStateFiles& files) {
  return static_cast<std::int64_t>(files.file(files.path("ledger.json"))->size());
}

void BM_LedgerLoad(benchmark::State& state) {
  const std::string bytes = vantrel::encode_ledger(full_ledger(1'700'000'000'000)).value();
  for (auto _ : state) {
    auto ledger = vantrel::decode_ledger(bytes);
    benchmark::DoNotOptimize(ledger);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_LedgerLoad)->Unit(benchmark::kMillisecond);

void BM_LedgerSave(benchmark::State& state) {
  const auto ledger = full_ledger(1'700'000'000'000);
  std::int64_t size = 0;
  for (auto _ : state) {
    auto bytes = vantrel::encode_ledger(ledger);
    size = static_cast<std::int64_t>(bytes->size());
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_LedgerSave)->Unit(benchmark::kMillisecond);

// The state work of one message with a full ledger: locate, lock, load, recover (nothing to
// change), bridge status, one save by a handler, release. File calls go to memory.
void BM_OpenStateWorkWithOneSave(benchmark::State& state) {
  FakeStateFiles& files = files_with_full_ledger();
  for (auto _ : state) {
    files.calls.clear();
    auto host_state = vantrel::open_host_state(files.store());
    vantrel::write_bridge_status(files.store());
    auto saved = host_state->save();
    benchmark::DoNotOptimize(saved);
  }
  state.SetBytesProcessed(state.iterations() * ledger_file_size(files));
}
BENCHMARK(BM_OpenStateWorkWithOneSave)->Unit(benchmark::kMillisecond);

// Recovery that has to rewrite and save: one leftover "DISPATCHING" record.
void BM_OpenStateWorkRecovering(benchmark::State& state) {
  FakeStateFiles& files = files_with_full_ledger();
  auto ledger = vantrel::load_ledger(files.store()).value();
  ledger.jobs.begin()->second.state = vantrel::AttemptState::DISPATCHING;
  const std::string dispatching = vantrel::encode_ledger(ledger).value();
  for (auto _ : state) {
    state.PauseTiming();
    files.calls.clear();
    files.put_file(files.path("ledger.json"), dispatching);
    state.ResumeTiming();
    auto host_state = vantrel::open_host_state(files.store());
    benchmark::DoNotOptimize(host_state);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(dispatching.size()));
}
BENCHMARK(BM_OpenStateWorkRecovering)->Unit(benchmark::kMillisecond);

}  // namespace
