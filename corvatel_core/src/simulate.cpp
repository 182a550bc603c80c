#include "corvatel/simulate.h"

#include "corvatel/chacha.h"
#include "corvatel/internal/batch.h"
#include "corvatel/internal/walk.h"

namespace corvatel {

namespace {

using internal::BatchShared;
using internal::RunDraws;

BatchShared shared_of(const Params& p, std::uint64_t seed) {
  return {ChaCha8Rng::key_from_seed(seed), p.boundary, p.noise_sd * kSqrtTimeStep};
}

// Every trial with the batch's own parameters.
struct SameParams {
  double x0;
  double a;
  double t0;

  explicit SameParams(const Params& p) : x0(p.start * p.boundary), a(p.drift * kTimeStep), t0(p.t0) {}

  void operator()(std::uint64_t, std::uint64_t count, RunDraws& draws) const {
    std::fill_n(draws.x0.begin(), count, x0);
    std::fill_n(draws.a.begin(), count, a);
    std::fill_n(draws.t0.begin(), count, t0);
  }
};

}  // namespace

Trial simulate_trial(const Params& params, std::uint64_t seed, std::uint64_t index) {
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  internal::WalkEnd end;
  internal::walk_trials(internal::SimdPath::scalar, params, key.data(), index, 1, &end);
  return Trial{end.x >= params.boundary * 0.5, end.t + params.t0, end.inside};
}

TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed, WorkerPool& pool) {
  TrialBatch batch(n);
  internal::batch_trials(shared_of(params, seed), SameParams(params), n, batch.data(), pool);
  return batch;
}

TrialBatch simulate_n(const Params& params, std::uint64_t n, std::uint64_t seed) {
  if (n == 0) return TrialBatch(0);
  return simulate_n(params, n, seed, WorkerPool::shared());
}

std::optional<std::uint64_t> simulate_kept(const Params& params, std::uint64_t n, std::uint64_t seed,
                                           std::uint8_t* choices, double* rts, WorkerPool& pool,
                                           const StopCheck& stop) {
  if (n == 0) return 0;
  return internal::kept_trials(shared_of(params, seed), SameParams(params), n, choices, rts, pool, stop);
}

std::optional<std::uint64_t> simulate_kept(const Params& params, std::uint64_t n, std::uint64_t seed,
                                           std::uint8_t* choices, double* rts, const StopCheck& stop) {
  if (n == 0) return 0;
  return simulate_kept(params, n, seed, choices, rts, WorkerPool::shared(), stop);
}

}  // namespace corvatel
