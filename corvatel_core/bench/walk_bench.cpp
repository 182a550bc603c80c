// The walk on one thread, per path: nanoseconds per Euler step, with the
// trials in SIMD lanes or one at a time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/walk.h"
#include "corvatel/params.h"

namespace {

using corvatel::internal::SimdPath;

void BM_Walk(benchmark::State& state) {
  const auto path = static_cast<SimdPath>(state.range(0));
  if (!corvatel::internal::simd_path_supported(path)) {
    state.SkipWithError("path not supported by this processor");
    return;
  }
  const corvatel::Params params{1.0, 1.5, 0.5, 0.3, 1.0};
  const auto key = corvatel::ChaCha8Rng::key_from_seed(2024);
  std::vector<corvatel::internal::WalkEnd> ends(2048);
  std::uint64_t first = 0;
  std::uint64_t steps = 0;
  for (auto _ : state) {
    corvatel::internal::walk_trials(path, params, key.data(), first, ends.size(), ends.data());
    for (const auto& e : ends) steps += e.steps;
    first += ends.size();
    benchmark::DoNotOptimize(ends.data());
  }
  state.SetLabel(corvatel::internal::simd_path_name(path));
  // items = Euler steps, so the time per item is the time per step.
  state.SetItemsProcessed(static_cast<std::int64_t>(steps));
  state.counters["ns_per_step"] = benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsRate |
                                                                                      benchmark::Counter::kInvert);
}
BENCHMARK(BM_Walk)->DenseRange(0, corvatel::internal::kSimdPathCount - 1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
