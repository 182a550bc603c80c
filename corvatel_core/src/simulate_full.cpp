#include "corvatel/simulate_full.h"

#include "corvatel/chacha.h"
#include "corvatel/internal/batch.h"
#include "corvatel/normal.h"

namespace corvatel {

namespace {

using internal::BatchShared;
using internal::RunDraws;

// The parameters of trial `index`, from its own stream of the batch's key.
Params draw(const ModelParams& p, const ChaCha8Rng& keyed, std::uint64_t index) {
  ChaCha8Rng rng = keyed;
  rng.set_stream(index | kVariabilityStreamBit);
  const double z = StandardNormal{}.sample(rng);
  const double u1 = internal::closed_open_from_bits(rng.next_u64());
  const double u2 = internal::closed_open_from_bits(rng.next_u64());
  Params out = p.walk();
  out.drift = p.drift + p.sv * z;
  out.start = p.start + p.sz * (u1 - 0.5);
  out.t0 = p.t0 + p.st * (u2 - 0.5);
  return out;
}

// Each trial's drift, start and t0 drawn from its stream, a run at a time.
struct VariabilityDraws {
  const ModelParams& params;
  ChaCha8Rng keyed;

  void operator()(std::uint64_t first, std::uint64_t count, RunDraws& draws) const {
    for (std::uint64_t k = 0; k < count; ++k) {
      const Params q = draw(params, keyed, first + k);
      draws.x0[k] = q.start * q.boundary;
      draws.a[k] = q.drift * kTimeStep;
      draws.t0[k] = q.t0;
    }
  }
};

BatchShared shared_of(const ModelParams& p, const ChaChaKey& key) {
  return {key, p.boundary, p.noise_sd * kSqrtTimeStep};
}

}  // namespace

Params trial_params(const ModelParams& params, std::uint64_t seed, std::uint64_t index) {
  return draw(params, ChaCha8Rng::seed_from_u64(seed), index);
}

TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool) {
  TrialBatch batch(n);
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  internal::batch_trials(shared_of(params, key), VariabilityDraws{params, ChaCha8Rng::from_key(key)}, n,
                         batch.data(), pool);
  return batch;
}

TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed) {
  if (n == 0) return TrialBatch(0);
  return simulate_full_n(params, n, seed, WorkerPool::shared());
}

std::optional<std::uint64_t> simulate_full_kept(const ModelParams& params, std::uint64_t n, std::uint64_t seed,
                                                std::uint8_t* choices, double* rts, WorkerPool& pool,
                                                const StopCheck& stop) {
  if (n == 0) return 0;
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  return internal::kept_trials(shared_of(params, key), VariabilityDraws{params, ChaCha8Rng::from_key(key)}, n,
                               choices, rts, pool, stop);
}

std::optional<std::uint64_t> simulate_full_kept(const ModelParams& params, std::uint64_t n, std::uint64_t seed,
                                                std::uint8_t* choices, double* rts, const StopCheck& stop) {
  if (n == 0) return 0;
  return simulate_full_kept(params, n, seed, choices, rts, WorkerPool::shared(), stop);
}

}  // namespace corvatel
