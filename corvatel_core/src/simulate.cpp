#include "corvatel/simulate.h"

#include "corvatel/chacha.h"
#include "corvatel/normal.h"

namespace corvatel {

namespace {

// `keyed` is a fresh generator with the batch's key; every trial starts from
// a copy of it, which is what seeding from the same seed would give.
Trial run_trial(const Params& p, const ChaCha8Rng& keyed, std::uint64_t index) {
  double x = p.start * p.boundary;
  double t = 0.0;
  bool inside = false;
  // A start on or outside a boundary (or NaN) ends the trial before any draw.
  if (x > 0.0 && p.boundary > x) {
    ChaCha8Rng rng = keyed;
    rng.set_stream(index);
    const StandardNormal normal;
    const double a = p.drift * kTimeStep;
    const double s = p.noise_sd * kSqrtTimeStep;
    do {
      const double z = normal.sample(rng);
      x = ((z * s) + a) + x;
      // Time is a running sum, never steps * dt: the exact sums are part of
      // the result (10 000 additions stay just below the cap).
      t = t + kTimeStep;
      inside = (x < p.boundary) && (0.0 < x);
    } while (inside && t < kTimeCap);
  }
  return Trial{x >= p.boundary * 0.5, t + p.t0, inside};
}

// Fills `batch`; false when `stop` said stop.
bool run_batch(const Params& params, std::uint64_t seed, WorkerPool& pool, TrialBatch& batch, const StopCheck& stop) {
  const ChaCha8Rng keyed = ChaCha8Rng::seed_from_u64(seed);
  Trial* out = batch.data();
  return pool.parallel_for(
      batch.size(),
      [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) out[i] = run_trial(params, keyed, i);
      },
      stop);
}

}  // namespace

Trial simulate_trial(const Params& params, std::uint64_t seed, std::uint64_t index) {
  return run_trial(params, ChaCha8Rng::seed_from_u64(seed), index);
}

TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool) {
  TrialBatch batch(n);
  (void)run_batch(params, seed, pool, batch, {});
  return batch;
}

std::optional<TrialBatch> simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed,
                                     const StopCheck& stop) {
  TrialBatch batch(n);
  if (n != 0 && !run_batch(params, seed, WorkerPool::shared(), batch, stop)) return std::nullopt;
  return batch;
}

TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed) {
  if (n == 0) return TrialBatch(0);
  return simulate_n(params, n, seed, WorkerPool::shared());
}

}  // namespace corvatel
