#include "corvatel/simulate_full.h"

#include "corvatel/chacha.h"
#include "corvatel/internal/batch.h"

namespace corvatel {

namespace {

using internal::BatchShared;
using internal::VariabilityDraws;

BatchShared shared_of(const ModelParams& p, const ChaChaKey& key) {
  return {key, p.boundary, p.noise_sd * kSqrtTimeStep};
}

}  // namespace

Params trial_params(const ModelParams& params, std::uint64_t seed, std::uint64_t index) {
  return internal::draw_trial_params(params, ChaCha8Rng::seed_from_u64(seed), index);
}

TrialBatch simulate_full_n(const ModelParams& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool) {
  TrialBatch batch(n);
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  internal::batch_trials(shared_of(params, key), VariabilityDraws{params, ChaCha8Rng::from_key(key), kTimeStep}, n,
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
  return internal::kept_trials(shared_of(params, key), VariabilityDraws{params, ChaCha8Rng::from_key(key), kTimeStep}, n,
                               choices, rts, pool, stop);
}

std::optional<std::uint64_t> simulate_full_kept(const ModelParams& params, std::uint64_t n, std::uint64_t seed,
                                                std::uint8_t* choices, double* rts, const StopCheck& stop) {
  if (n == 0) return 0;
  return simulate_full_kept(params, n, seed, choices, rts, WorkerPool::shared(), stop);
}

}  // namespace corvatel
