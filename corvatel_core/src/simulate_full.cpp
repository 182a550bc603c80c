#include "corvatel/simulate_full.h"

#include "corvatel/chacha.h"
#include "corvatel/normal.h"

namespace corvatel {

namespace {

constexpr double kTwoToMinus53 = 1.0 / 9007199254740992.0;

double uniform(ChaCha8Rng& rng) { return static_cast<double>(rng.next_u64() >> 11) * kTwoToMinus53; }

Params draw(const ModelParams& p, const ChaCha8Rng& keyed, std::uint64_t index) {
  ChaCha8Rng rng = keyed;
  rng.set_stream(index | kVariabilityStreamBit);
  const double z = StandardNormal{}.sample(rng);
  const double u1 = uniform(rng);
  const double u2 = uniform(rng);
  Params out = p.walk();
  out.drift = p.drift + p.sv * z;
  out.start = p.start + p.sz * (u1 - 0.5);
  out.t0 = p.t0 + p.st * (u2 - 0.5);
  return out;
}

}  // namespace

Params trial_params(const ModelParams& params, std::uint64_t seed, std::uint64_t index) {
  return draw(params, ChaCha8Rng::seed_from_u64(seed), index);
}

TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool) {
  TrialBatch batch(n);
  const ChaCha8Rng keyed = ChaCha8Rng::seed_from_u64(seed);
  Trial* out = batch.data();
  pool.parallel_for(n, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) {
      out[i] = simulate_trial(draw(params, keyed, i), seed, i);
    }
  });
  return batch;
}

TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed) {
  if (n == 0) return TrialBatch(0);
  return simulate_full_n(params, n, seed, WorkerPool::shared());
}

}  // namespace corvatel
