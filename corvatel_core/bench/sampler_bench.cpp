// Cost of the random source alone: 64-bit words and standard normal
// variates from one generator, as a trial's walk draws them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/normal.h"

namespace {

constexpr std::uint64_t kSeed = 0x5eed5eed5eedull;

void BM_NextU64(benchmark::State& state) {
  auto rng = corvatel::ChaCha8Rng::seed_from_u64(kSeed);
  for (auto _ : state) benchmark::DoNotOptimize(rng.next_u64());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 8);
}
BENCHMARK(BM_NextU64);

void BM_StandardNormal(benchmark::State& state) {
  auto rng = corvatel::ChaCha8Rng::seed_from_u64(kSeed);
  const corvatel::StandardNormal normal;
  for (auto _ : state) benchmark::DoNotOptimize(normal.sample(rng));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StandardNormal);

// The bulk form, 1024 variates a call.
void BM_StandardNormalFill(benchmark::State& state) {
  auto rng = corvatel::ChaCha8Rng::seed_from_u64(kSeed);
  const corvatel::StandardNormal normal;
  std::vector<double> out(1024);
  for (auto _ : state) {
    normal.fill(rng, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(out.size()));
}
BENCHMARK(BM_StandardNormalFill);

}  // namespace

BENCHMARK_MAIN();
