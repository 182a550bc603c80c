// The model's parameters, declared once: their names in simulation and in
// fit results, the values each may take, their defaults, the likelihood
// fits' search intervals, and the fits that estimate them. Every entry
// point checks its arguments against this table (check_params), and the
// Python package reads it (its names, ranges and messages) from here.
//
// Adding a parameter: a field of ModelParams, a row of kParams, the kernel
// that uses it, and its tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <string>

#include "corvatel/errors.h"
#include "corvatel/params.h"

namespace corvatel {

// The full model: the five parameters of a walk plus the across-trial
// variabilities. `start` is relative; `sv` is the standard deviation of the
// drift across trials, `sz` the width of a uniform relative start centred on
// `start`, `st` the width of a uniform non-decision time centred on `t0`.
// `p_outlier` is not the walk's: it is the share of contaminant trials in
// the likelihood's mixture (OutlierWindow below), 0 for the plain model.
struct ModelParams {
  double drift = 0.0;
  double boundary = 1.0;
  double start = 0.5;
  double t0 = 0.0;
  double noise_sd = 1.0;
  double sv = 0.0;
  double sz = 0.0;
  double st = 0.0;
  double p_outlier = 0.0;

  // The walk's five; the variabilities are the caller's to apply.
  Params walk() const { return {drift, boundary, start, t0, noise_sd}; }
};

enum class Param : std::size_t { Drift, Boundary, Start, T0, NoiseSd, Sv, Sz, St, POutlier };
inline constexpr std::size_t kParamCount = 9;

// An interval of the extended reals; NaN lies in none.
struct Interval {
  double lo;
  double hi;
  bool lo_closed;
  bool hi_closed;

  constexpr bool contains(double x) const {
    const bool above = lo_closed ? x >= lo : x > lo;
    const bool below = hi_closed ? x <= hi : x < hi;
    return above && below;
  }
};

// The fits that estimate a parameter (a bit each). The others report it at
// its fixed value (start 0.5 and noise_sd 1 in ez and sim, noise_sd 1 in
// the likelihood fits) or not at all (the variabilities outside "full");
// the likelihood fits estimate a mixture parameter only when asked to.
enum FitKind : unsigned { kFitEz = 1u, kFitSim = 2u, kFitDdm = 4u, kFitFull = 8u };

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct ParamRow {
  Param param;
  const char* name;      // as simulate and the densities take it: "drift"
  const char* fit_name;  // as fit results report it: "drift_rate"
  double ModelParams::*field;
  // The values a model may have (every entry point also wants them finite),
  // and the range in words, as messages give it: "boundary must be positive".
  Interval range;
  const char* phrase;
  // The value an omitted argument takes; NaN: the argument is required.
  // (The fits that do not estimate start and noise_sd fix them at
  // kRecoveryStart and kRecoveryNoiseSd, params.h.)
  double default_value;
  // Where the likelihood fits search, when the bounds are fixed ones: t0's
  // upper bound is the fastest response and sz's depends on the start, so
  // those two have none here (see ml_fit.h).
  std::optional<Interval> search;
  unsigned fitted_by;  // FitKind bits
  bool variability;    // across-trial variability of the full model
  // Of the contaminant mixture, not of the walk: simulate and simulate_full
  // do not take it, and a likelihood fit fixes it unless asked to estimate it.
  bool mixture;
};

inline constexpr double kRequired = std::numeric_limits<double>::quiet_NaN();

inline constexpr std::array<ParamRow, kParamCount> kParams = {{
    {Param::Drift, "drift", "drift_rate", &ModelParams::drift, {-kInfinity, kInfinity, true, true}, "finite",
     kRequired, Interval{-15.0, 15.0, false, false}, kFitEz | kFitSim | kFitDdm | kFitFull, false, false},
    {Param::Boundary, "boundary", "boundary_separation", &ModelParams::boundary, {0.0, kInfinity, false, true},
     "positive", kRequired, Interval{0.05, 10.0, false, false}, kFitEz | kFitSim | kFitDdm | kFitFull, false, false},
    {Param::Start, "start", "starting_point", &ModelParams::start, {0.0, 1.0, true, true}, "between 0 and 1", kRequired,
     Interval{0.01, 0.99, false, false}, kFitDdm | kFitFull, false, false},
    {Param::T0, "t0", "non_decision_time", &ModelParams::t0, {0.0, kInfinity, true, true}, "non-negative",
     kRequired, std::nullopt, kFitEz | kFitSim | kFitDdm | kFitFull, false, false},
    {Param::NoiseSd, "noise_sd", "noise_sd", &ModelParams::noise_sd, {0.0, kInfinity, false, true}, "positive", 1.0,
     std::nullopt, 0u, false, false},
    {Param::Sv, "sv", "sv", &ModelParams::sv, {0.0, kInfinity, true, false}, "non-negative and finite", 0.0,
     Interval{0.0, 6.0, false, false}, kFitFull, true, false},
    {Param::Sz, "sz", "sz", &ModelParams::sz, {0.0, kInfinity, true, true}, "non-negative", 0.0, std::nullopt,
     kFitFull, true, false},
    {Param::St, "st", "st", &ModelParams::st, {0.0, kInfinity, true, true}, "non-negative", 0.0,
     Interval{0.0, 1.0, false, false}, kFitFull, true, false},
    // Searched on (0, 0.5): a mixture with more contaminants than diffusion
    // trials would no longer be a model of the task.
    {Param::POutlier, "p_outlier", "p_outlier", &ModelParams::p_outlier, {0.0, 1.0, true, false}, "in [0, 1)", 0.0,
     Interval{0.0, 0.5, false, false}, kFitDdm | kFitFull, false, true},
}};

constexpr const ParamRow& param_row(Param p) { return kParams[static_cast<std::size_t>(p)]; }

static_assert([] {
  for (std::size_t i = 0; i < kParamCount; ++i) {
    if (static_cast<std::size_t>(kParams[i].param) != i) return false;
  }
  return true;
}(), "kParams is in Param order");

// The terms of the model between time-varying bounds (fpt_solver.h) beyond
// the table above: each bound's own parameters, then leak and urgency, with
// the values a solve or a simulation takes (all finite) and the range in
// words ("theta must be in (-pi/2, pi/2)"). check_bound_terms applies them,
// and the Python package reads the rows (which bound uses which, the fits'
// columns) from here.
enum class BoundTerm : std::size_t { Theta, Shape, Scale, Rate, Leak, Urgency };
inline constexpr std::size_t kBoundTermCount = 6;

struct BoundTermRow {
  BoundTerm term;
  const char* name;
  Interval range;
  const char* phrase;
  // The bounds whose shape it sets, space-separated; none: leak and
  // urgency, which combine with any bound.
  const char* bounds;
};

inline constexpr std::array<BoundTermRow, kBoundTermCount> kBoundTerms = {{
    {BoundTerm::Theta, "theta", {-std::numbers::pi / 2, std::numbers::pi / 2, false, false}, "in (-pi/2, pi/2)", "angle"},
    {BoundTerm::Shape, "shape", {0.0, kInfinity, false, false}, "positive and finite", "weibull"},
    {BoundTerm::Scale, "scale", {0.0, kInfinity, false, false}, "positive and finite", "weibull"},
    {BoundTerm::Rate, "rate", {0.0, kInfinity, true, false}, "non-negative and finite", "exponential hyperbolic"},
    {BoundTerm::Leak, "leak", {0.0, kInfinity, true, false}, "non-negative and finite", ""},
    {BoundTerm::Urgency, "urgency", {0.0, kInfinity, true, false}, "non-negative and finite", ""},
}};

constexpr const BoundTermRow& bound_term(BoundTerm t) { return kBoundTerms[static_cast<std::size_t>(t)]; }

static_assert([] {
  for (std::size_t i = 0; i < kBoundTermCount; ++i) {
    if (static_cast<std::size_t>(kBoundTerms[i].term) != i) return false;
  }
  return true;
}(), "kBoundTerms is in BoundTerm order");

// Which rules a check applies. Every use wants each parameter inside its
// range and finite, a start window (start -+ sz/2) inside [0, 1] and
// st <= 2 t0; a density also needs the walk to start strictly inside the
// band, so its start and start window must lie inside (0, 1).
enum class ParamUse { Simulation, Density };

// The first rule that `p` breaks, parameters in table order, each
// parameter's range, then its finiteness, then the window rule it heads.
std::optional<ParamError> check_params(const ModelParams& p, ParamUse use);

// What simulate() checks, in its own words: the ranges of boundary, start,
// t0 and noise_sd in table order, written as comparisons ("boundary must be
// > 0", "start must be in [0, 1]"). It leaves drift alone and accepts
// infinite values: such trials end or time out by the walk's own rules.
std::optional<ParamError> check_walk_ranges(const Params& p);

// Where contaminants' response times lie (seconds): uniform on [lo, hi].
// The default covers the response times of ordinary tasks.
struct OutlierWindow {
  double lo = 0.0;
  double hi = 5.0;
};

// The window's rule: both ends finite and 0 <= lo < hi.
std::optional<ParamError> check_outlier_window(const OutlierWindow& window);

}  // namespace corvatel
