#include "corvatel/simulate_bounds.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "corvatel/chacha.h"
#include "corvatel/internal/batch.h"
#include "corvatel/internal/bounds_tables.h"
#include "corvatel/simulate_full.h"

namespace corvatel {

namespace {

using internal::BoundsStepTables;
using internal::BoundsTables;
using internal::RunDraws;
using internal::VariabilityDraws;
using internal::WalkEnd;

// batch.h's walk for these trials: the process's SIMD path over the
// batch's tables.
struct BoundsBatch {
  ChaChaKey key;
  const BoundsTables* tables;

  double middle() const { return tables->middle; }
  void walk(const RunDraws& draws, std::uint64_t first, std::uint64_t count, WalkEnd* ends) const {
    const internal::BoundsRun run{draws.x0.data(), draws.a.data(), tables};
    internal::walk_bounds_trials(internal::chosen_simd_path(), run, key.data(), first, count, ends);
  }
};

bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }

}  // namespace

namespace internal {

BoundsStepTables::BoundsStepTables(const ModelParams& p, const BoundsWalk& w) {
  TimeVaryingModel m;
  m.boundary = p.boundary;
  m.bound = w.bound;
  const double middle = p.boundary * 0.5;
  const double s = p.noise_sd * std::sqrt(w.dt);
  // 10 s / dt steps (and one more time).
  const auto steps = static_cast<std::size_t>(kTimeCap / w.dt) + 2;
  entry_.reserve(kStepEntries * steps);
  time_.reserve(steps);
  double t = 0.0;
  time_.push_back(t);
  do {
    const double g = 1.0 + w.urgency * t;
    const double next = t + w.dt;
    const double half = bound_half_width(m, next);
    const double entries[kStepEntries] = {g, s * g, middle + half, middle - half};
    static_assert(kGainEntry == 0 && kNoiseEntry == 1 && kUpperEntry == 2 && kLowerEntry == 3);
    entry_.insert(entry_.end(), entries, entries + kStepEntries);
    time_.push_back(next);
    t = next;
  } while (t < kTimeCap);
  view_ = BoundsTables{entry_.data(), time_.data(), time_.size() - 1, middle, w.leak * w.dt, p.boundary};
}

}  // namespace internal

std::string BoundsWalkError::message() const {
  switch (kind_) {
    case Kind::Model:
      return param_error_->message();
    case Kind::Bound:
      return fpt_error_->message();
    case Kind::TimeStep:
      break;
  }
  return "dt must be positive and at most 0.1, with at most 1000000 steps to the 10 s cap";
}

std::optional<BoundsWalkError> check_bounds_walk(const ModelParams& params, const BoundsWalk& walk) {
  if (auto e = check_params(params, ParamUse::Simulation)) return BoundsWalkError::model(*e);
  TimeVaryingModel m;
  m.bound = walk.bound;
  m.leak = walk.leak;
  m.urgency = walk.urgency;
  if (auto e = check_bound_terms(m)) return BoundsWalkError::bound(*e);
  if (!finite_positive(walk.dt) || !(walk.dt <= kMaxTimeStep) || !(kTimeCap / walk.dt <= kMaxWalkSteps)) {
    return BoundsWalkError::time_step();
  }
  return std::nullopt;
}

bool is_standard_walk(const BoundsWalk& walk) {
  return walk.bound.kind == BoundSpec::Kind::Constant && walk.leak == 0.0 && walk.urgency == 0.0 &&
         walk.dt == kTimeStep;
}

TrialBatch simulate_bounds_n(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n, std::uint64_t seed,
                             WorkerPool& pool) {
  if (is_standard_walk(walk)) return simulate_full_n(params, n, seed, pool);
  TrialBatch batch(n);
  if (n == 0) return batch;
  const BoundsStepTables tables(params, walk);
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  internal::batch_trials(BoundsBatch{key, &tables.view()}, VariabilityDraws{params, ChaCha8Rng::from_key(key), walk.dt},
                         n, batch.data(), pool);
  return batch;
}

TrialBatch simulate_bounds_n(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n, std::uint64_t seed) {
  if (n == 0) return TrialBatch(0);
  return simulate_bounds_n(params, walk, n, seed, WorkerPool::shared());
}

std::optional<std::uint64_t> simulate_bounds_kept(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n,
                                                  std::uint64_t seed, std::uint8_t* choices, double* rts,
                                                  WorkerPool& pool, const StopCheck& stop) {
  if (n == 0) return 0;
  if (is_standard_walk(walk)) return simulate_full_kept(params, n, seed, choices, rts, pool, stop);
  const BoundsStepTables tables(params, walk);
  const ChaChaKey key = ChaCha8Rng::key_from_seed(seed);
  // A trial takes up to 10 s / dt steps: pieces as short in steps as those
  // of 1 ms steps, so that Ctrl-C stops a batch of fine steps as soon.
  const auto max_piece = static_cast<std::uint64_t>(
      std::clamp(static_cast<double>(WorkerPool::kMaxPieceLength) * (walk.dt / kTimeStep), 1.0,
                 static_cast<double>(WorkerPool::kMaxPieceLength)));
  return internal::kept_trials(BoundsBatch{key, &tables.view()},
                               VariabilityDraws{params, ChaCha8Rng::from_key(key), walk.dt}, n, choices, rts, pool,
                               stop, max_piece);
}

std::optional<std::uint64_t> simulate_bounds_kept(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n,
                                                  std::uint64_t seed, std::uint8_t* choices, double* rts,
                                                  const StopCheck& stop) {
  if (n == 0) return 0;
  return simulate_bounds_kept(params, walk, n, seed, choices, rts, WorkerPool::shared(), stop);
}

}  // namespace corvatel
