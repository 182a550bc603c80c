#include "corvatel/bounds_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "corvatel/internal/ml_search.h"
#include "corvatel/ml_fit.h"
#include "corvatel/parameters.h"

namespace corvatel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const StopCheck kNeverStop;

// The fits' minimum data, as fit_ml's: two trials per parameter, at least ten.
constexpr std::uint64_t kMinTrialsPerParam = 2;
constexpr std::uint64_t kMinTrials = 10;
constexpr std::uint64_t kMaxItersPerDim = 400;

std::optional<FptError> check_non_decision(double t0, double st) {
  ModelParams p;
  p.t0 = t0;
  p.st = st;
  if (auto e = check_params(p, ParamUse::Density)) return FptError::model(*e);
  return std::nullopt;
}

// The grid for decision times up to max_rt - t0 + st/2, two steps beyond so
// that the last one is inside it; an angle bound that closes sooner ends it.
Result<FptGrid, FptError> solve_for(const TimeVaryingModel& m, double t0, double st, double relative_step,
                                    double max_rt, double max_steps, const StopCheck& stop = {}) {
  SolverResolution r;
  r.relative_step = relative_step;
  r.t_max = 1.0;  // checked below once the step is known
  if (auto e = check_time_varying(m, r)) return unexpected(*e);
  const double dt = solver_step(m, r);
  double longest = max_rt - t0 + 0.5 * st;
  if (m.bound.kind == BoundSpec::Kind::Angle && m.bound.theta > 0.0) {
    longest = std::min(longest, 0.5 * m.boundary / std::tan(m.bound.theta));
  }
  r.t_max = std::max(longest, 2.0 * dt) + 2.0 * dt;
  if (!(r.t_max / dt <= max_steps)) return unexpected(FptError::of(FptError::Kind::Resolution));
  return solve_first_passage(m, r, stop);
}

double max_finite(std::span<const double> rts) {
  double longest = 0.0;
  for (const double rt : rts) {
    if (std::isfinite(rt)) longest = std::max(longest, rt);
  }
  return longest;
}

double logistic(double y) { return 1.0 / (1.0 + std::exp(-y)); }
double to_range(const Interval& in, double y) { return in.lo + (in.hi - in.lo) * logistic(y); }
// Inverse of the logistic onto (lo, hi), x pulled inside first.
double from_range(double lo, double hi, double x) {
  const double margin = 1e-6 * (hi - lo);
  const double c = std::clamp(x, lo + margin, hi - margin);
  return std::log((c - lo) / (hi - c));
}
constexpr double kHalfPi = std::numbers::pi / 2.0;

// The search coordinates of a options, in order: drift, boundary, [start], t0,
// the bound's parameters, [leak], [urgency].
struct BoundsLayout {
  BoundsFitOptions options;
  double t0_bound;  // the fastest response

  TimeVaryingModel decode(std::span<const double> y, double& t0) const {
    TimeVaryingModel m;
    std::size_t i = 0;
    m.drift = to_range(*param_row(Param::Drift).search, y[i++]);
    m.boundary = to_range(*param_row(Param::Boundary).search, y[i++]);
    m.start = options.start ? *options.start : to_range(*param_row(Param::Start).search, y[i++]);
    t0 = t0_bound * logistic(y[i++]);
    m.bound.kind = options.bound;
    switch (options.bound) {
      case BoundSpec::Kind::Constant: break;
      case BoundSpec::Kind::Angle: m.bound.theta = kHalfPi * logistic(y[i++]); break;
      case BoundSpec::Kind::Weibull:
        m.bound.shape = std::exp(y[i++]);
        m.bound.scale = std::exp(y[i++]);
        break;
      case BoundSpec::Kind::Exponential:
      case BoundSpec::Kind::Hyperbolic: m.bound.rate = std::exp(y[i++]); break;
    }
    if (options.leak) m.leak = std::exp(y[i++]);
    if (options.urgency) m.urgency = std::exp(y[i++]);
    return m;
  }

  std::vector<double> encode(const TimeVaryingModel& m, double t0) const {
    std::vector<double> y;
    const Interval& drift = *param_row(Param::Drift).search;
    const Interval& boundary = *param_row(Param::Boundary).search;
    const Interval& start = *param_row(Param::Start).search;
    y.push_back(from_range(drift.lo, drift.hi, m.drift));
    y.push_back(from_range(boundary.lo, boundary.hi, m.boundary));
    if (!options.start) y.push_back(from_range(start.lo, start.hi, m.start));
    y.push_back(from_range(0.0, t0_bound, t0));
    switch (options.bound) {
      case BoundSpec::Kind::Constant: break;
      case BoundSpec::Kind::Angle: y.push_back(from_range(0.0, kHalfPi, m.bound.theta)); break;
      case BoundSpec::Kind::Weibull:
        y.push_back(std::log(m.bound.shape));
        y.push_back(std::log(m.bound.scale));
        break;
      case BoundSpec::Kind::Exponential:
      case BoundSpec::Kind::Hyperbolic: y.push_back(std::log(m.bound.rate)); break;
    }
    if (options.leak) y.push_back(std::log(m.leak));
    if (options.urgency) y.push_back(std::log(m.urgency));
    return y;
  }
};

// -log likelihood at search point y; +inf where it is not finite or the
// grid would be too long, and at once when the fit was told to stop.
struct BoundsCost {
  const BoundsLayout* layout;
  ObservedTrials trials;
  double max_rt;
  FitInterruption* interruption;

  double cost(std::span<const double> y) const {
    if (interruption->requested()) return kInf;
    double t0 = 0.0;
    const TimeVaryingModel m = layout->decode(y, t0);
    const auto grid = solve_for(m, t0, 0.0, layout->options.relative_step, max_rt, kMaxFitSteps);
    if (!grid) return kInf;
    double total = 0.0;
    for (std::size_t i = 0; i < trials.rts.size(); ++i) {
      total += grid_log_density(grid.value(), trials.rts[i], trials.choices[i] != 0, t0, 0.0);
    }
    return std::isfinite(total) ? -total : kInf;
  }

  bool stopped() const { return interruption->stopped; }
};

static_assert(CostFunction<BoundsCost>);

// The starts' collapse, leak and urgency: a mild one and a stronger one,
// on the time scale of the mean decision time.
TimeVaryingModel start_model(const ModelParams& ddm, const BoundsFitOptions& options, double mean_decision, bool strong) {
  TimeVaryingModel m;
  m.drift = ddm.drift;
  m.boundary = strong ? 1.3 * ddm.boundary : ddm.boundary;
  m.start = options.start ? *options.start : ddm.start;
  m.bound.kind = options.bound;
  const double scale = std::max(mean_decision, 0.05);
  switch (options.bound) {
    case BoundSpec::Kind::Constant: break;
    case BoundSpec::Kind::Angle:
      // The band closes at 8 (mild) or 3 (strong) mean decision times.
      m.bound.theta = std::atan(0.5 * m.boundary / ((strong ? 3.0 : 8.0) * scale));
      break;
    case BoundSpec::Kind::Weibull:
      m.bound.shape = strong ? 1.5 : 3.0;
      m.bound.scale = (strong ? 2.0 : 4.0) * scale;
      break;
    case BoundSpec::Kind::Exponential:
    case BoundSpec::Kind::Hyperbolic: m.bound.rate = (strong ? 0.5 : 0.1) / scale; break;
  }
  if (options.leak) m.leak = strong ? 2.0 : 0.5;
  if (options.urgency) m.urgency = strong ? 2.0 : 0.5;
  return m;
}

}  // namespace

std::optional<FptError> bounds_log_densities(const TimeVaryingModel& model, double t0, double st,
                                             double relative_step, std::span<const double> rts,
                                             std::span<const std::uint8_t> choices, std::span<double> out,
                                             const StopCheck& stop) {
  if (auto e = check_non_decision(t0, st)) return e;
  const auto grid = solve_for(model, t0, st, relative_step, max_finite(rts), kMaxSolverSteps, stop);
  if (!grid) return grid.error();
  for (std::size_t i = 0; i < rts.size(); ++i) out[i] = grid_log_density(grid.value(), rts[i], choices[i] != 0, t0, st);
  return std::nullopt;
}

std::size_t bounds_param_count(const BoundsFitOptions& options) {
  std::size_t n = options.start ? 3 : 4;
  switch (options.bound) {
    case BoundSpec::Kind::Constant: break;
    case BoundSpec::Kind::Weibull: n += 2; break;
    default: n += 1; break;
  }
  return n + (options.leak ? 1 : 0) + (options.urgency ? 1 : 0);
}

Result<BoundsFit, FitError> fit_bounds_ml(const ObservedTrials& trials, const BoundsFitOptions& options,
                                          const StopCheck& stop) {
  const std::size_t dim = bounds_param_count(options);
  const std::uint64_t need = std::max<std::uint64_t>(kMinTrials, kMinTrialsPerParam * dim);
  if (trials.rts.size() < need) return unexpected(FitError::too_few_trials(trials.rts.size(), need));
  // Checks the response times and gives the starts' drift, boundary and t0.
  const auto ddm = fit_ml(trials, LikelihoodModel::Ddm, stop);
  if (!ddm) return unexpected(ddm.error());
  const ModelParams& standard = ddm.value().params[0];

  FitInterruption interruption{&stop};
  interruption.poll_interval = kStopPollInterval;
  const std::span<const ObservedTrials> one{&trials, 1};
  const BoundsLayout layout{options, t0_search_bound(one)};
  const double max_rt = max_finite(trials.rts);
  const BoundsCost cost{&layout, trials, max_rt, &interruption};

  double mean_rt = 0.0;
  for (const double rt : trials.rts) mean_rt += rt;
  mean_rt /= static_cast<double>(trials.rts.size());
  const double mean_decision = mean_rt - standard.t0;
  std::vector<std::vector<double>> starts;
  for (const bool strong : {false, true}) {
    const double t0 = std::min(standard.t0, 0.9 * layout.t0_bound);
    starts.push_back(layout.encode(start_model(standard, options, mean_decision, strong), t0));
  }
  const auto run = internal::best_of(cost, cost, starts, kMaxItersPerDim * dim);
  if (interruption.stopped) return unexpected(FitError::interrupted());
  if (!run) return unexpected(run.error());
  const internal::SearchRun& r = run.value();
  if (!std::isfinite(r.cost)) return unexpected(FitError::no_finite_likelihood());
  const double log_likelihood = -r.cost;
  BoundsFit fit{};
  fit.model = layout.decode(r.point, fit.t0);
  fit.converged = r.converged;
  fit.iterations = r.iterations + ddm.value().iterations;
  fit.log_likelihood = log_likelihood;
  fit.n_params = dim;
  fit.criteria = information_criteria(log_likelihood, dim, trials.rts.size());
  return fit;
}

}  // namespace corvatel
