// One likelihood evaluation of a collapsing-bound model: the first-passage
// solve (fpt_solver.h) and the log densities of 1,000 trials from its grid.
// Weibull bound (shape 2.5, scale 1 s), boundary 1.5, drift 1, unbiased
// start, t0 0.3 s, decision times up to 3 s. The argument is the inverse of
// relative_step (144 is the default); with urgency the solve also builds a
// transition per pair of grid times. Single-threaded, like the solver.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

#include "corvatel/fpt_solver.h"

namespace {

using corvatel::BoundSpec;
using corvatel::FptGrid;
using corvatel::TimeVaryingModel;

constexpr std::size_t kTrials = 1000;

TimeVaryingModel weibull_model(double leak, double urgency) {
  TimeVaryingModel m;
  m.drift = 1.0;
  m.boundary = 1.5;
  m.start = 0.5;
  m.noise_sd = 1.0;
  m.leak = leak;
  m.urgency = urgency;
  m.bound = {BoundSpec::Kind::Weibull, 0.0, 2.5, 1.0, 0.0};
  return m;
}

// Response times spread over the densities' bulk, choices alternating.
std::vector<double> trial_times() {
  std::vector<double> rts(kTrials);
  for (std::size_t i = 0; i < kTrials; ++i) rts[i] = 0.35 + 1.2 * (static_cast<double>(i) + 0.5) / kTrials;
  return rts;
}

void run(benchmark::State& state, const TimeVaryingModel& m) {
  const std::vector<double> rts = trial_times();
  const corvatel::SolverResolution resolution{1.0 / static_cast<double>(state.range(0)), 3.0};
  for (auto _ : state) {
    const auto grid = corvatel::solve_first_passage(m, resolution);
    double sum = 0.0;
    for (std::size_t i = 0; i < kTrials; ++i) {
      sum += corvatel::grid_log_density(grid.value(), rts[i], i % 2 == 0, 0.3, 0.0);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTrials));
}

void BM_WeibullLikelihood(benchmark::State& state) { run(state, weibull_model(0.0, 0.0)); }
void BM_WeibullLeakLikelihood(benchmark::State& state) { run(state, weibull_model(1.0, 0.0)); }
void BM_WeibullLeakUrgencyLikelihood(benchmark::State& state) { run(state, weibull_model(1.0, 1.0)); }

BENCHMARK(BM_WeibullLikelihood)->Arg(72)->Arg(144)->Arg(288)->Arg(576)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WeibullLeakLikelihood)->Arg(144)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WeibullLeakUrgencyLikelihood)->Arg(144)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
