#include <benchmark/benchmark.h>

#include "base/json.hpp"

static void BM_AppendJsonString(benchmark::State& state) {
  const std::string text(1 << 20, 'x');
  for (auto _ : state) {
    std::string out;
    vantrel::append_json_string(out, text);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_AppendJsonString);
