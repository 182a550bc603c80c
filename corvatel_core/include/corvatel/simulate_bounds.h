// Trials of the diffusion model between time-varying bounds, with leak and
// urgency (the model of fpt_solver.h), by the Euler-Maruyama scheme.
//
// Coordinates are simulate's: the walk starts at x0 = start * boundary, the
// band's middle is mid = boundary * 0.5, and at time 0 the band is
// (0, boundary). With dt the step, the definition, one operation at a time:
//
//   t_0 = 0,  t_{k+1} = t_k + dt          (a running sum, never k * dt)
//   G_k = 1 + urgency * t_k               (the urgency gain before step k)
//   S_k = (noise_sd * sqrt(dt)) * G_k
//   B_k = bound_half_width(m, t_{k+1}),  U_k = mid + B_k,  L_k = mid - B_k
//   a = drift * dt,  leak_dt = leak * dt  (per trial and per batch)
//   x <- (((z * S_k) + (a * G_k)) - (leak_dt * (x - mid))) + x
//
// z the trial's next standard normal. Steps go on while U_k > x > L_k and
// t_{k+1} < kTimeCap; a trial still inside at the cap times out. A start on
// or outside (0, boundary) ends the trial at time 0 before any draw. The
// choice is x >= mid, which also decides a walk caught by an angle bound
// that has closed (B_k < 0 leaves no band: the step that crosses it ends the
// trial). The decision time is t_{k+1} of the last step; the response time
// adds the trial's t0.
//
// Drift, start and t0 vary across trials exactly as in simulate_full.h
// (same streams, same draw order), and the walk of trial i draws from stream
// i of the seed's key, so the standard model (constant bound, no leak, no
// urgency, dt = kTimeStep) gives simulate_full's trials bit for bit; such a
// batch is run by simulate_full itself.
//
// The per-step quantities depend on the step alone: they are tabulated once
// per batch (about 40 bytes a step) and shared by every trial. The walk runs
// on the pool through batch.h's loop, on the process's SIMD path (walk.h:
// trials in lanes load their step's entries), every path bit for bit the
// definition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "corvatel/fpt_solver.h"
#include "corvatel/parameters.h"
#include "corvatel/simulate.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

// What the walk adds to ModelParams: the bound, the leak and the urgency
// (fpt_solver.h's meanings and rules) and the Euler step.
struct BoundsWalk {
  BoundSpec bound;
  double leak = 0.0;
  double urgency = 0.0;
  double dt = kTimeStep;
};

// The most steps to the cap a walk may take (dt >= 10 us): the per-step
// tables stay below 40 MB.
inline constexpr double kMaxWalkSteps = 1e6;
// The longest step: the cap is counted in whole steps, so that a step of
// seconds kept decisions past it (a step of 3 s: 12 s).
inline constexpr double kMaxTimeStep = 0.1;

class BoundsWalkError {
 public:
  enum class Kind {
    Model,     // a ModelParams value: its ParamError (ParamUse::Simulation)
    Bound,     // theta, shape, scale, rate, leak or urgency: the solver's FptError
    TimeStep,  // "dt must be positive and finite, with at most 1000000 steps to the 10 s cap"
  };

  static BoundsWalkError model(const ParamError& e) { return {Kind::Model, e, std::nullopt}; }
  static BoundsWalkError bound(const FptError& e) { return {Kind::Bound, std::nullopt, e}; }
  static BoundsWalkError time_step() { return {Kind::TimeStep, std::nullopt, std::nullopt}; }

  Kind kind() const { return kind_; }
  const std::optional<ParamError>& param_error() const { return param_error_; }
  std::string message() const;

 private:
  BoundsWalkError(Kind kind, std::optional<ParamError> p, std::optional<FptError> f)
      : kind_(kind), param_error_(std::move(p)), fpt_error_(std::move(f)) {}
  Kind kind_;
  std::optional<ParamError> param_error_;
  std::optional<FptError> fpt_error_;
};

// The first argument that breaks its rule: the table's parameters (as
// simulate_full checks them), then the bound's, the leak, the urgency, dt.
[[nodiscard]] std::optional<BoundsWalkError> check_bounds_walk(const ModelParams& params, const BoundsWalk& walk);

// Constant bound, no leak, no urgency, dt = kTimeStep: simulate_full's walk.
bool is_standard_walk(const BoundsWalk& walk);

// Trials 0 .. n-1 (n < 2^63) of arguments that pass check_bounds_walk, on
// the process-wide pool or a given one; reproducible whatever the number of
// workers. Throws std::bad_alloc when the batch or the tables cannot be
// allocated.
TrialBatch simulate_bounds_n(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n, std::uint64_t seed);
TrialBatch simulate_bounds_n(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n, std::uint64_t seed,
                             WorkerPool& pool);

// The trials that did not time out, written as simulate_full_kept writes
// them: their count, or nothing (and no trial running any more) when `stop`
// said stop.
std::optional<std::uint64_t> simulate_bounds_kept(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n,
                                                  std::uint64_t seed, std::uint8_t* choices, double* rts,
                                                  const StopCheck& stop = {});
std::optional<std::uint64_t> simulate_bounds_kept(const ModelParams& params, const BoundsWalk& walk, std::uint64_t n,
                                                  std::uint64_t seed, std::uint8_t* choices, double* rts,
                                                  WorkerPool& pool, const StopCheck& stop = {});

}  // namespace corvatel
