#include <benchmark/benchmark.h>

#include "fake_streams.hpp"
#include "protocol/envelope.hpp"
#include "protocol/message_loop.hpp"

namespace {

// A session with no state: only hello is asked of it.
class NoSession final : public vantrel::MessageSession {
 public:
  void write_bridge_status() override {}
  vantrel::Result<vantrel::JsonValue> list_printers() override { return {}; }
  vantrel::Result<vantrel::JsonValue> submit(const vantrel::JsonValue&) override { return {}; }
  vantrel::Result<vantrel::JsonValue> get_job(const vantrel::JsonValue&) override { return {}; }
};

class HelloOnly final : public vantrel::MessageHandlers {
 public:
  vantrel::Result<std::unique_ptr<vantrel::MessageSession>> open_session() override {
    return std::make_unique<NoSession>();
  }
};

// Hello round trips through the whole loop over in-memory streams.
void BM_HelloRoundTrips(benchmark::State& state) {
  const std::string one =
      vantrel::fakes::frame(R"({"protocol":1,"request_id":"bench-1","type":"hello"})");
  std::string input;
  for (int i = 0; i < 1000; ++i) input += one;
  HelloOnly handlers;
  for (auto _ : state) {
    vantrel::fakes::MemorySource source(input);
    vantrel::fakes::MemorySink sink;
    benchmark::DoNotOptimize(vantrel::serve_messages(source, sink, handlers));
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_HelloRoundTrips)->Unit(benchmark::kMillisecond);

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
