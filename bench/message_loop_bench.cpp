#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>

#include "domain/state/host_log.hpp"
#include "domain/state/state_files.hpp"
#include "fake_print_system.hpp"
#include "fake_state_files.hpp"
#include "fake_streams.hpp"
#include "fake_watchdogs.hpp"
#include "protocol/envelope.hpp"
#include "protocol/message_loop.hpp"

namespace {

// Hello round trips through the whole loop over in-memory streams, each over the state's rules
// on in-memory files (lock, ledger, bridge status) as every message is handled.
void BM_HelloRoundTrips(benchmark::State& state) {
  const std::string one =
      vantrel::fakes::frame(R"({"protocol":1,"request_id":"bench-1","type":"hello"})");
  std::string input;
  for (int i = 0; i < 1000; ++i) input += one;
  vantrel::fakes::FakeStateFiles files;
  vantrel::fakes::FakePrintSystem printing;
  vantrel::fakes::FakeWatchdogs watchdogs;
  vantrel::Host host{files.store(), printing, watchdogs};
  for (auto _ : state) {
    vantrel::fakes::MemorySource source(input);
    vantrel::fakes::MemorySink sink;
    files.calls.clear();
    benchmark::DoNotOptimize(vantrel::serve_messages(source, sink, host));
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_HelloRoundTrips)->Unit(benchmark::kMillisecond);

// A temporary XDG_STATE_HOME for the real state files, removed at the end.
class TemporaryStateHome {
 public:
  explicit TemporaryStateHome(benchmark::State& state) {
    if (mkdtemp(folder_) == nullptr) {
      state.SkipWithError("no temporary folder");
      return;
    }
    setenv("XDG_STATE_HOME", folder_, 1);
  }
  ~TemporaryStateHome() { std::filesystem::remove_all(folder_); }

 private:
  char folder_[32] = "/tmp/vantrel-bench-XXXXXX";
};

// One hello at a time through the whole loop on this machine's real state folder (a temporary
// XDG_STATE_HOME): the lock, the ledger read, the bridge status written and flushed; with the
// diagnostics log (argument 1) and without (0), to show what its line costs a message.
void BM_HelloOnRealFiles(benchmark::State& state) {
  const TemporaryStateHome home(state);
  vantrel::StateFiles& files = vantrel::system_state_files();
  vantrel::StateStore store(files);
  vantrel::HostLog log(files);
  vantrel::fakes::FakePrintSystem printing;
  vantrel::fakes::FakeWatchdogs watchdogs;
  vantrel::Host host{store, printing, watchdogs, state.range(0) != 0 ? &log : nullptr};
  const std::string one =
      vantrel::fakes::frame(R"({"protocol":1,"request_id":"bench-1","type":"hello"})");
  for (auto _ : state) {
    vantrel::fakes::MemorySource source(one);
    vantrel::fakes::MemorySink sink;
    benchmark::DoNotOptimize(vantrel::serve_messages(source, sink, host));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HelloOnRealFiles)->ArgName("log")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// One message's log line on this machine's real files, alone: what the log adds to every
// round trip.
void BM_LogLineOnRealFiles(benchmark::State& state) {
  const TemporaryStateHome home(state);
  vantrel::HostLog log(vantrel::system_state_files());
  for (auto _ : state) {
    log.append(
        "message",
        {{"type", "hello"}, {"request_id", "bench-1"}, {"outcome", "ok"}, {"duration_ms", "1"}});
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineOnRealFiles)->Unit(benchmark::kMicrosecond);

// The largest body the channel accepts, nearly all of it one string.
void BM_DecodeEightMebibyteEnvelope(benchmark::State& state) {
  const std::string head = R"({"protocol":1,"request_id":"big","type":"submit","payload":")";
  std::string body = head + std::string(vantrel::MAX_MESSAGE_LEN - head.size() - 2, 'A') + "\"}";
  for (auto _ : state) {
    auto request =
        vantrel::decode_envelope({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_DecodeEightMebibyteEnvelope)->Unit(benchmark::kMillisecond);

}  // namespace
