#include "corvatel/bounds_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
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
// How far past a level's slowest response (as a multiple of it) a
// truncated fit's grid reaches toward a later window end; the tail beyond
// is extrapolated (a solve costs the square of its length).
constexpr double kTailReach = 1.25;

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

// The parameters a bounds fit may search, in the order of their coordinates.
enum class Coordinate { Drift, Boundary, Start, T0, Theta, Shape, Scale, Rate, Leak, Urgency, POutlier };

struct Searched {
  Coordinate coordinate;
  bool per_level;
};

// The searched parameters of the options, in order: drift, boundary,
// [start], t0, the bound's parameters, [leak], [urgency], [p_outlier].
std::vector<Searched> searched(const BoundsFitOptions& options, const BoundsPerLevel& per_level) {
  std::vector<Searched> list = {{Coordinate::Drift, per_level.drift}, {Coordinate::Boundary, per_level.boundary}};
  if (!options.start) list.push_back({Coordinate::Start, per_level.start});
  list.push_back({Coordinate::T0, per_level.t0});
  switch (options.bound) {
    case BoundSpec::Kind::Constant: break;
    case BoundSpec::Kind::Angle: list.push_back({Coordinate::Theta, per_level.theta}); break;
    case BoundSpec::Kind::Weibull:
      list.push_back({Coordinate::Shape, per_level.shape});
      list.push_back({Coordinate::Scale, per_level.scale});
      break;
    case BoundSpec::Kind::Exponential:
    case BoundSpec::Kind::Hyperbolic: list.push_back({Coordinate::Rate, per_level.rate}); break;
  }
  if (options.leak) list.push_back({Coordinate::Leak, per_level.leak});
  if (options.urgency) list.push_back({Coordinate::Urgency, per_level.urgency});
  if (options.contaminants.free()) list.push_back({Coordinate::POutlier, per_level.p_outlier});
  return list;
}

// The search coordinates of levels of data: the searched parameters in
// order, a per-level one taking one coordinate for each level (level after
// level), a shared one a single coordinate. One level with nothing per
// level is the single fit's layout.
class BoundsLayout {
 public:
  BoundsLayout(const BoundsFitOptions& options, std::span<const ObservedTrials> levels,
               const BoundsPerLevel& per_level)
      : options_(options), searched_(searched(options, per_level)), slot_(levels.size()), t0_bound_(levels.size()) {
    for (auto& s : slot_) s.resize(searched_.size());
    for (std::size_t i = 0; i < searched_.size(); ++i) {
      if (searched_[i].per_level) {
        for (auto& s : slot_) s[i] = dim_++;
      } else {
        for (auto& s : slot_) s[i] = dim_;
        ++dim_;
      }
    }
    const Contaminants& contaminants = options.contaminants;
    const double shared = t0_search_bound(levels, contaminants);
    for (std::size_t l = 0; l < levels.size(); ++l) {
      t0_bound_[l] = per_level.t0 ? t0_search_bound(levels.subspan(l, 1), contaminants) : shared;
    }
  }

  std::size_t dim() const { return dim_; }
  const BoundsFitOptions& options() const { return options_; }
  double t0_bound(std::size_t level) const { return t0_bound_[level]; }

  BoundsLevelEstimate decode(std::span<const double> y, std::size_t level) const {
    BoundsLevelEstimate e{TimeVaryingModel{}, 0.0, options_.contaminants.p_outlier()};
    TimeVaryingModel& m = e.model;
    m.start = options_.start.value_or(m.start);
    m.bound.kind = options_.bound;
    for (std::size_t i = 0; i < searched_.size(); ++i) {
      const double yi = y[slot_[level][i]];
      switch (searched_[i].coordinate) {
        case Coordinate::Drift: m.drift = to_range(*param_row(Param::Drift).search, yi); break;
        case Coordinate::Boundary: m.boundary = to_range(*param_row(Param::Boundary).search, yi); break;
        case Coordinate::Start: m.start = to_range(*param_row(Param::Start).search, yi); break;
        case Coordinate::T0: e.t0 = t0_bound_[level] * logistic(yi); break;
        case Coordinate::Theta: m.bound.theta = kHalfPi * logistic(yi); break;
        case Coordinate::Shape: m.bound.shape = std::exp(yi); break;
        case Coordinate::Scale: m.bound.scale = std::exp(yi); break;
        case Coordinate::Rate: m.bound.rate = std::exp(yi); break;
        case Coordinate::Leak: m.leak = std::exp(yi); break;
        case Coordinate::Urgency: m.urgency = std::exp(yi); break;
        case Coordinate::POutlier: e.p_outlier = to_range(*param_row(Param::POutlier).search, yi); break;
      }
    }
    return e;
  }

  // The coordinates of one estimate per level; a shared coordinate is the
  // mean of the levels' (with one level, the level's own, bit for bit).
  std::vector<double> encode(std::span<const BoundsLevelEstimate> estimates) const {
    std::vector<double> sum(dim_, 0.0);
    std::vector<double> seen(dim_, 0.0);
    for (std::size_t l = 0; l < slot_.size(); ++l) {
      for (std::size_t i = 0; i < searched_.size(); ++i) {
        sum[slot_[l][i]] += encode_one(searched_[i].coordinate, estimates[l], l);
        seen[slot_[l][i]] += 1.0;
      }
    }
    std::vector<double> y(dim_);
    for (std::size_t i = 0; i < dim_; ++i) y[i] = sum[i] / seen[i];
    return y;
  }

 private:
  double encode_one(Coordinate c, const BoundsLevelEstimate& e, std::size_t level) const {
    const TimeVaryingModel& m = e.model;
    const Interval& drift = *param_row(Param::Drift).search;
    const Interval& boundary = *param_row(Param::Boundary).search;
    const Interval& start = *param_row(Param::Start).search;
    const Interval& p_outlier = *param_row(Param::POutlier).search;
    switch (c) {
      case Coordinate::Drift: return from_range(drift.lo, drift.hi, m.drift);
      case Coordinate::Boundary: return from_range(boundary.lo, boundary.hi, m.boundary);
      case Coordinate::Start: return from_range(start.lo, start.hi, m.start);
      case Coordinate::T0: return from_range(0.0, t0_bound_[level], e.t0);
      case Coordinate::Theta: return from_range(0.0, kHalfPi, m.bound.theta);
      case Coordinate::Shape: return std::log(m.bound.shape);
      case Coordinate::Scale: return std::log(m.bound.scale);
      case Coordinate::Rate: return std::log(m.bound.rate);
      case Coordinate::Leak: return std::log(m.leak);
      case Coordinate::Urgency: return std::log(m.urgency);
      case Coordinate::POutlier: return from_range(p_outlier.lo, p_outlier.hi, e.p_outlier);
    }
    return 0.0;
  }

  BoundsFitOptions options_;
  std::vector<Searched> searched_;
  std::vector<std::vector<std::size_t>> slot_;  // [level][searched parameter] -> coordinate
  std::vector<double> t0_bound_;                // per level: the fastest response t0 applies to
  std::size_t dim_ = 0;
};

// The work a search has spent (kernel pairs of its solves), against its
// budget: the options' max_work for each level.
struct FitWork {
  double budget;
  double pairs = 0.0;
  bool spent() const { return pairs > budget; }
};

// -log likelihood at search point y: one solve per level, every level's
// densities added to one total, level after level; +inf where it is not
// finite or a grid would be too long, and at once when the fit was told
// to stop. A selection window divides each trial's likelihood by the
// probability of a response inside it: the solved model's mass there mixed
// with the contaminants' share.
struct BoundsCost {
  const BoundsLayout* layout;
  std::span<const ObservedTrials> levels;
  std::vector<double> grid_end;  // per level: the last response time the grid must reach
  FitInterruption* interruption;
  FitWork* work;

  double cost(std::span<const double> y) const {
    if (interruption->requested()) return kInf;
    const BoundsFitOptions& options = layout->options();
    const OutlierWindow& outliers = options.contaminants.window();
    double total = 0.0;
    for (std::size_t l = 0; l < levels.size(); ++l) {
      const BoundsLevelEstimate e = layout->decode(y, l);
      const auto grid = solve_for(e.model, e.t0, 0.0, options.relative_step, grid_end[l], kMaxFitSteps);
      if (!grid) return kInf;
      const auto steps = static_cast<double>(grid.value().upper.size());
      work->pairs += 0.5 * steps * steps;
      const ObservedTrials& level = levels[l];
      for (std::size_t i = 0; i < level.rts.size(); ++i) {
        const double rt = level.rts[i];
        total += log_mixture(grid_log_density(grid.value(), rt, level.choices[i] != 0, e.t0, 0.0), rt, e.p_outlier,
                             outliers);
      }
      if (options.truncation.any()) {
        const Truncation& window = options.truncation;
        const double mass = grid_window_mass(grid.value(), window.lo() - e.t0, window.hi() - e.t0);
        const double kept = log_window_mixture(std::log(mass), e.p_outlier, window.lo(), window.hi(), outliers);
        total -= static_cast<double>(level.rts.size()) * kept;
      }
    }
    return std::isfinite(total) ? -total : kInf;
  }

  bool stopped() const { return interruption->stopped || work->spent(); }
};

static_assert(CostFunction<BoundsCost>);

// The search of `layout` from `starts` (coordinates), as the fits run it.
Result<internal::SearchRun, FitError> search_levels(const BoundsLayout& layout,
                                                    std::span<const ObservedTrials> levels,
                                                    const std::vector<std::vector<double>>& starts,
                                                    FitInterruption& interruption) {
  // The window's probability needs the grid to its end, or past the slowest
  // response, where the tail beyond is small: a grid to a far end
  // (max_rt = 60 s) would take more steps than a fit allows for every
  // boundary below 1.5.
  const double window_end = layout.options().truncation.hi();
  std::vector<double> grid_end;
  for (const ObservedTrials& level : levels) {
    const double longest = max_finite(level.rts);
    grid_end.push_back(std::isfinite(window_end) ? std::max(longest, std::min(window_end, kTailReach * longest))
                                                 : longest);
  }
  FitWork work{layout.options().max_work * static_cast<double>(levels.size())};
  const BoundsCost cost{&layout, levels, std::move(grid_end), &interruption, &work};
  auto run = internal::best_of(cost, cost, starts, kMaxItersPerDim * layout.dim());
  if (interruption.stopped) return unexpected(FitError::interrupted());
  if (!run) return run;
  if (!std::isfinite(run.value().cost)) return unexpected(FitError::no_finite_likelihood());
  if (work.spent()) run.value().converged = false;
  return run;
}

// The starts' collapse, leak and urgency: a mild one and a stronger one,
// on the time scale of the mean decision time. The mild angle stays open
// past the slowest decision time too: a band closed before a response
// gives it no likelihood, and a single slow lapse then left both starts,
// and so the fit, without one.
TimeVaryingModel start_model(const ModelParams& ddm, const BoundsFitOptions& options, double mean_decision,
                             double slowest_decision, bool strong) {
  TimeVaryingModel m;
  m.drift = ddm.drift;
  m.boundary = strong ? 1.3 * ddm.boundary : ddm.boundary;
  m.start = options.start ? *options.start : ddm.start;
  m.bound.kind = options.bound;
  const double scale = std::max(mean_decision, 0.05);
  switch (options.bound) {
    case BoundSpec::Kind::Constant: break;
    case BoundSpec::Kind::Angle:
      // The band closes at 8 (mild; or half as late again as the slowest
      // response) or 3 (strong) mean decision times.
      m.bound.theta =
          std::atan(0.5 * m.boundary / (strong ? 3.0 * scale : std::max(8.0 * scale, 1.5 * slowest_decision)));
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
  auto grid = solve_for(model, t0, st, relative_step, max_finite(rts), kMaxSolverSteps, stop);
  if (!grid) return grid.error();
  if (st > 0.0) add_window_masses(grid.value());
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
  return n + (options.leak ? 1 : 0) + (options.urgency ? 1 : 0) + (options.contaminants.free() ? 1 : 0);
}

std::size_t bounds_param_count(const BoundsFitOptions& options, const BoundsPerLevel& per_level,
                               std::size_t n_levels) {
  std::size_t n = 0;
  for (const Searched& s : searched(options, per_level)) n += s.per_level ? n_levels : 1;
  return n;
}

Result<BoundsFit, FitError> fit_bounds_ml(const ObservedTrials& trials, const BoundsFitOptions& options,
                                          const StopCheck& stop) {
  const std::size_t dim = bounds_param_count(options);
  const std::uint64_t need = std::max<std::uint64_t>(kMinTrials, kMinTrialsPerParam * dim);
  if (trials.rts.size() < need) return unexpected(FitError::too_few_trials(trials.rts.size(), need));
  // Checks the response times (and the window) and gives the starts' drift,
  // boundary, t0 and p_outlier.
  const auto ddm = fit_ml(trials, LikelihoodModel::Ddm, options.contaminants, options.truncation, stop);
  if (!ddm) return unexpected(ddm.error());
  const ModelParams& standard = ddm.value().params[0];

  FitInterruption interruption{&stop};
  interruption.poll_interval = kStopPollInterval;
  const std::span<const ObservedTrials> one{&trials, 1};
  const BoundsLayout layout(options, one, BoundsPerLevel{});

  double mean_rt = 0.0;
  for (const double rt : trials.rts) mean_rt += rt;
  mean_rt /= static_cast<double>(trials.rts.size());
  const double mean_decision = mean_rt - standard.t0;
  std::vector<std::vector<double>> starts;
  for (const bool strong : {false, true}) {
    const double t0 = std::min(standard.t0, 0.9 * layout.t0_bound(0));
    const double slowest_decision = max_finite(trials.rts) - t0;
    const BoundsLevelEstimate start{start_model(standard, options, mean_decision, slowest_decision, strong), t0,
                                    standard.p_outlier};
    starts.push_back(layout.encode({&start, 1}));
  }
  const auto run = search_levels(layout, one, starts, interruption);
  if (!run) return unexpected(run.error());
  const internal::SearchRun& r = run.value();
  const double log_likelihood = -r.cost;
  BoundsFit fit{};
  const BoundsLevelEstimate estimate = layout.decode(r.point, 0);
  fit.model = estimate.model;
  fit.t0 = estimate.t0;
  fit.p_outlier = estimate.p_outlier;
  fit.converged = r.converged;
  fit.iterations = r.iterations + ddm.value().iterations;
  fit.log_likelihood = log_likelihood;
  fit.n_params = dim;
  fit.criteria = information_criteria(log_likelihood, dim, trials.rts.size());
  return fit;
}

Result<BoundsJointFit, FitError> fit_bounds_ml_joint(std::span<const ObservedTrials> levels,
                                                     const BoundsFitOptions& options,
                                                     const BoundsPerLevel& per_level, const StopCheck& stop) {
  if (levels.empty()) return unexpected(FitError::no_levels());
  // Every level is checked before any is fitted.
  const std::uint64_t need = std::max<std::uint64_t>(kMinTrials, kMinTrialsPerParam * bounds_param_count(options));
  for (const ObservedTrials& level : levels) {
    if (level.rts.size() < need) return unexpected(FitError::too_few_trials(level.rts.size(), need));
  }
  // Each level alone first: its estimates start the joint search.
  std::vector<BoundsLevelEstimate> separate;
  std::uint64_t iterations = 0;
  for (const ObservedTrials& level : levels) {
    const auto fit = fit_bounds_ml(level, options, stop);
    if (!fit) return unexpected(fit.error());
    iterations += fit.value().iterations;
    separate.push_back({fit.value().model, fit.value().t0, fit.value().p_outlier});
  }
  FitInterruption interruption{&stop};
  interruption.poll_interval = kStopPollInterval;
  const BoundsLayout layout(options, levels, per_level);
  const auto run = search_levels(layout, levels, {layout.encode(separate)}, interruption);
  if (!run) return unexpected(run.error());
  const internal::SearchRun& r = run.value();
  std::uint64_t n_trials = 0;
  for (const ObservedTrials& level : levels) n_trials += level.rts.size();
  const double log_likelihood = -r.cost;
  BoundsJointFit fit{{}, r.converged, r.iterations + iterations, log_likelihood, layout.dim(),
                     information_criteria(log_likelihood, layout.dim(), n_trials)};
  for (std::size_t l = 0; l < levels.size(); ++l) fit.levels.push_back(layout.decode(r.point, l));
  return fit;
}

}  // namespace corvatel
