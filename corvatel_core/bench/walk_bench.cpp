// The walk on one thread, per path: nanoseconds per Euler step, with the
// trials in SIMD lanes or one at a time, every trial with the same start
// and drift (simulate) or each with its own (simulate_full). And whole
// batches of both on a one-worker pool, on the path this process chose
// (CORVATEL_SIMD picks it), draws of the full model's parameters included;
// and a batch between time-varying bounds (simulate_bounds, scalar only).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/walk.h"
#include "corvatel/params.h"
#include "corvatel/simulate.h"
#include "corvatel/simulate_bounds.h"
#include "corvatel/simulate_full.h"

namespace {

using corvatel::internal::SimdPath;

const corvatel::Params kParams{1.0, 1.5, 0.5, 0.3, 1.0};
const corvatel::ModelParams kFull{1.0, 1.5, 0.5, 0.3, 1.0, 0.8, 0.2, 0.15};
constexpr std::uint64_t kSeed = 2024;

void report_steps(benchmark::State& state, std::uint64_t steps) {
  // items = Euler steps, so the time per item is the time per step.
  state.SetItemsProcessed(static_cast<std::int64_t>(steps));
  state.counters["ns_per_step"] = benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsRate |
                                                                                      benchmark::Counter::kInvert);
}

bool skip_unsupported(benchmark::State& state, SimdPath path) {
  if (corvatel::internal::simd_path_supported(path)) return false;
  state.SkipWithError("path not supported by this processor");
  return true;
}

void BM_Walk(benchmark::State& state) {
  const auto path = static_cast<SimdPath>(state.range(0));
  if (skip_unsupported(state, path)) return;
  const auto key = corvatel::ChaCha8Rng::key_from_seed(kSeed);
  std::vector<corvatel::internal::WalkEnd> ends(2048);
  std::uint64_t first = 0;
  std::uint64_t steps = 0;
  for (auto _ : state) {
    corvatel::internal::walk_trials(path, kParams, key.data(), first, ends.size(), ends.data());
    for (const auto& e : ends) steps += e.steps;
    first += ends.size();
    benchmark::DoNotOptimize(ends.data());
  }
  state.SetLabel(corvatel::internal::simd_path_name(path));
  report_steps(state, steps);
}
BENCHMARK(BM_Walk)->DenseRange(0, corvatel::internal::kSimdPathCount - 1)->Unit(benchmark::kMillisecond);

// Each trial starts and drifts as the full model's draws say (those of the
// first 2048 trials, over again on fresh noise streams).
void BM_WalkFull(benchmark::State& state) {
  const auto path = static_cast<SimdPath>(state.range(0));
  if (skip_unsupported(state, path)) return;
  const auto key = corvatel::ChaCha8Rng::key_from_seed(kSeed);
  const std::uint64_t run = corvatel::internal::kWalkRun;
  std::vector<double> x0(2 * run), a(2 * run);
  for (std::uint64_t i = 0; i < x0.size(); ++i) {
    const corvatel::Params q = corvatel::trial_params(kFull, kSeed, i);
    x0[i] = q.start * q.boundary;
    a[i] = q.drift * corvatel::kTimeStep;
  }
  std::vector<corvatel::internal::WalkEnd> ends(x0.size());
  const double s = kFull.noise_sd * corvatel::kSqrtTimeStep;
  std::uint64_t first = 0;
  std::uint64_t steps = 0;
  for (auto _ : state) {
    for (std::uint64_t k = 0; k < x0.size(); k += run) {
      const corvatel::internal::RunParams params{x0.data() + k, a.data() + k, kFull.boundary, s};
      corvatel::internal::walk_trials(path, params, key.data(), first + k, run, ends.data() + k);
    }
    for (const auto& e : ends) steps += e.steps;
    first += ends.size();
    benchmark::DoNotOptimize(ends.data());
  }
  state.SetLabel(corvatel::internal::simd_path_name(path));
  report_steps(state, steps);
}
BENCHMARK(BM_WalkFull)->DenseRange(0, corvatel::internal::kSimdPathCount - 1)->Unit(benchmark::kMillisecond);

// The steps behind kept trials: each kept rt is t0 plus a whole number of
// 1 ms steps, a timed-out trial made 10 001.
std::uint64_t steps_of(const std::vector<double>& rts, std::uint64_t kept, std::uint64_t n, double t0) {
  std::uint64_t steps = (n - kept) * 10001;
  for (std::uint64_t k = 0; k < kept; ++k) steps += static_cast<std::uint64_t>(std::lround((rts[k] - t0) / 0.001));
  return steps;
}

// A batch of 20 000 trials, simulate (0) or simulate_full (1). st changes no
// walk, so the full model's steps are counted on the same batch with st 0.
void BM_Batch(benchmark::State& state) {
  const bool full = state.range(0) == 1;
  const std::uint64_t n = 20000;
  corvatel::WorkerPool pool(1);
  std::vector<std::uint8_t> choices(n);
  std::vector<double> rts(n);
  auto run = [&](const corvatel::ModelParams& p) {
    return full ? corvatel::simulate_full_kept(p, n, kSeed, choices.data(), rts.data(), pool).value()
                : corvatel::simulate_kept(kParams, n, kSeed, choices.data(), rts.data(), pool).value();
  };
  corvatel::ModelParams fixed_t0 = kFull;
  fixed_t0.st = 0.0;
  const std::uint64_t steps = steps_of(rts, run(fixed_t0), n, kFull.t0);
  for (auto _ : state) benchmark::DoNotOptimize(run(kFull));
  state.SetLabel(std::string(full ? "simulate_full, " : "simulate, ") +
                 corvatel::internal::simd_path_name(corvatel::internal::chosen_simd_path()));
  report_steps(state, steps * static_cast<std::uint64_t>(state.iterations()));
}
// Wall time: the work runs on the pool's worker, not on this thread.
BENCHMARK(BM_Batch)->DenseRange(0, 1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A batch of 20 000 trials of simulate_full's parameters (st 0) between an
// angle bound of 0.3 rad, with leak 1 and urgency 0.5 (1), or without leak
// and urgency (0), on one worker. Its steps are counted from the rts.
void BM_BoundsBatch(benchmark::State& state) {
  const std::uint64_t n = 20000;
  corvatel::WorkerPool pool(1);
  std::vector<std::uint8_t> choices(n);
  std::vector<double> rts(n);
  corvatel::BoundsWalk walk;
  walk.bound = corvatel::BoundSpec{corvatel::BoundSpec::Kind::Angle, 0.3};
  if (state.range(0) == 1) {
    walk.leak = 1.0;
    walk.urgency = 0.5;
  }
  corvatel::ModelParams p = kFull;
  p.st = 0.0;
  auto run = [&] { return corvatel::simulate_bounds_kept(p, walk, n, kSeed, choices.data(), rts.data(), pool).value(); };
  const std::uint64_t steps = steps_of(rts, run(), n, p.t0);
  for (auto _ : state) benchmark::DoNotOptimize(run());
  state.SetLabel(std::string(state.range(0) == 1 ? "angle, leak, urgency, " : "angle, ") +
                 corvatel::internal::simd_path_name(corvatel::internal::chosen_simd_path()));
  report_steps(state, steps * static_cast<std::uint64_t>(state.iterations()));
}
// The process's CPU time (the work runs on the pool's worker), which leaves
// out the waits of a loaded machine.
BENCHMARK(BM_BoundsBatch)->DenseRange(0, 1)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
