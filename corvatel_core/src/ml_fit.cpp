#include "corvatel/ml_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "corvatel/ez.h"
#include "corvatel/internal/ml_layout.h"
#include "corvatel/internal/ml_search.h"

namespace corvatel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const StopCheck kNeverStop;

// Fewer trials than this per level leave the likelihood too flat to fit.
constexpr std::uint64_t kMinTrialsPerParam = 2;
constexpr std::uint64_t kMinTrials = 10;

// The rows of kParams that a fit of each model estimates, in table order.
struct FittedList {
  std::array<Param, kParamCount> params{};
  std::size_t count = 0;
};

constexpr FittedList fitted_list(unsigned fit_kind, bool mixture) {
  FittedList list;
  for (const ParamRow& s : kParams) {
    if ((s.fitted_by & fit_kind) != 0 && (mixture || !s.mixture)) list.params[list.count++] = s.param;
  }
  return list;
}

// [model][p_outlier free]
constexpr std::array<std::array<FittedList, 2>, 2> kFitted = {{
    {fitted_list(kFitDdm, false), fitted_list(kFitDdm, true)},
    {fitted_list(kFitFull, false), fitted_list(kFitFull, true)},
}};

double logistic(double y) { return 1.0 / (1.0 + std::exp(-y)); }
double to_range(double lo, double hi, double y) { return lo + (hi - lo) * logistic(y); }
// Inverse of to_range, with x pulled inside the open interval first.
double from_range(double lo, double hi, double x) {
  const double margin = 1e-6 * (hi - lo);
  const double c = std::clamp(x, lo + margin, hi - margin);
  return std::log((c - lo) / (hi - c));
}

bool choice_of(const ObservedTrials& trials, std::size_t i) { return trials.choices[i] != 0; }

}  // namespace

Result<Contaminants, ParamError> Contaminants::fixed(double p_outlier, const OutlierWindow& window) {
  const ParamRow& s = param_row(Param::POutlier);
  if (!s.range.contains(p_outlier)) return unexpected(ParamError::range(s.param));
  if (!std::isfinite(p_outlier)) return unexpected(ParamError::not_finite(s.param));
  if (auto bad = check_outlier_window(window)) return unexpected(*bad);
  return Contaminants(false, p_outlier, window);
}

Result<Contaminants, ParamError> Contaminants::estimated(const OutlierWindow& window) {
  if (auto bad = check_outlier_window(window)) return unexpected(*bad);
  return Contaminants(true, 0.0, window);
}

Result<Truncation, ParamError> Truncation::window(double lo, double hi) {
  if (!(lo >= 0.0 && lo < hi && std::isfinite(lo))) return unexpected(ParamError::rt_window());
  return Truncation(lo, hi);
}

std::span<const Param> fitted_params(LikelihoodModel model, bool p_outlier_free) {
  const FittedList& list = kFitted[model == LikelihoodModel::Ddm ? 0 : 1][p_outlier_free ? 1 : 0];
  return {list.params.data(), list.count};
}

std::size_t free_param_count(LikelihoodModel model, bool p_outlier_free) {
  return fitted_params(model, p_outlier_free).size();
}

double t0_search_bound(std::span<const ObservedTrials> levels) {
  double fastest = kInf;
  for (const ObservedTrials& level : levels) {
    for (const double rt : level.rts) fastest = std::min(fastest, rt);
  }
  return fastest;
}

double t0_search_bound(std::span<const ObservedTrials> levels, const Contaminants& contaminants) {
  if (!contaminants.any()) return t0_search_bound(levels);
  const OutlierWindow& window = contaminants.window();
  double fastest_outside = kInf;
  std::vector<double> all;
  for (const ObservedTrials& level : levels) {
    for (const double rt : level.rts) {
      if (!(rt >= window.lo && rt <= window.hi)) fastest_outside = std::min(fastest_outside, rt);
    }
    all.insert(all.end(), level.rts.begin(), level.rts.end());
  }
  if (all.empty()) return kInf;
  const auto median = all.begin() + static_cast<std::ptrdiff_t>((all.size() - 1) / 2);
  std::nth_element(all.begin(), median, all.end());
  return std::min(fastest_outside, *median);
}

double sz_search_bound(double start) { return 2.0 * std::min(start, 1.0 - start) * kSzRoom; }

namespace internal {

SearchLayout::SearchLayout(LikelihoodModel model, std::span<const ObservedTrials> levels,
                           const PerLevel& per_level, const Contaminants& contaminants)
    : fitted_(fitted_params(model, contaminants.free())),
      slot_(levels.size()),
      t0_bound_(levels.size()),
      fixed_p_outlier_(contaminants.p_outlier()) {
  for (auto& s : slot_) s.resize(fitted_.size());
  for (std::size_t i = 0; i < fitted_.size(); ++i) {
    if (per_level[static_cast<std::size_t>(fitted_[i])]) {
      for (auto& s : slot_) s[i] = dim_++;
    } else {
      for (auto& s : slot_) s[i] = dim_;
      ++dim_;
    }
  }
  const bool t0_per_level = per_level[static_cast<std::size_t>(Param::T0)];
  const double shared = t0_search_bound(levels, contaminants);
  for (std::size_t l = 0; l < levels.size(); ++l) {
    t0_bound_[l] = t0_per_level ? t0_search_bound(levels.subspan(l, 1), contaminants) : shared;
  }
}

ModelParams SearchLayout::decode(std::span<const double> y, std::size_t level) const {
  ModelParams p;
  p.p_outlier = fixed_p_outlier_;  // unless it is searched
  double earliest_t0 = 0.0;  // t0 - st/2
  for (std::size_t i = 0; i < fitted_.size(); ++i) {
    const double yi = y[slot_[level][i]];
    const ParamRow& s = param_row(fitted_[i]);
    switch (s.param) {
      case Param::T0: earliest_t0 = t0_bound_[level] * logistic(yi); break;
      case Param::Sz: p.sz = sz_search_bound(p.start) * logistic(yi); break;  // start comes first
      default: p.*s.field = to_range(s.search->lo, s.search->hi, yi); break;
    }
  }
  p.t0 = earliest_t0 + p.st / 2.0;
  return p;
}

std::vector<double> SearchLayout::encode(std::span<const ModelParams> params) const {
  std::vector<double> sum(dim_, 0.0);
  std::vector<double> seen(dim_, 0.0);
  for (std::size_t l = 0; l < slot_.size(); ++l) {
    const ModelParams& p = params[l];
    for (std::size_t i = 0; i < fitted_.size(); ++i) {
      const ParamRow& s = param_row(fitted_[i]);
      double v = 0.0;
      switch (s.param) {
        case Param::T0: v = from_range(0.0, t0_bound_[l], p.t0 - p.st / 2.0); break;
        case Param::Sz: v = from_range(0.0, sz_search_bound(p.start), p.sz); break;
        default: v = from_range(s.search->lo, s.search->hi, p.*s.field); break;
      }
      sum[slot_[l][i]] += v;
      seen[slot_[l][i]] += 1.0;
    }
  }
  std::vector<double> y(dim_);
  for (std::size_t i = 0; i < dim_; ++i) y[i] = sum[i] / seen[i];
  return y;
}

std::size_t SearchLayout::coordinate(Param param, std::size_t level) const {
  for (std::size_t i = 0; i < fitted_.size(); ++i) {
    if (fitted_[i] == param) return slot_[level][i];
  }
  return dim_;
}

}  // namespace internal

namespace {

using internal::SearchLayout;

// A cost of the search coordinates other than `held`, which keep their
// values in `point`.
template <CostFunction F>
struct HeldCost {
  const F* inner;
  std::vector<std::size_t> held;  // ascending
  std::vector<double> point;

  std::vector<double> free_part() const {
    std::vector<double> y;
    for (std::size_t i = 0; i < point.size(); ++i) {
      if (!std::ranges::binary_search(held, i)) y.push_back(point[i]);
    }
    return y;
  }
  std::vector<double> whole(std::span<const double> y) const {
    std::vector<double> x = point;
    std::size_t k = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!std::ranges::binary_search(held, i)) x[i] = y[k++];
    }
    return x;
  }
  double cost(std::span<const double> y) const { return inner->cost(whole(y)); }
  bool stopped() const { return internal::cost_stopped(*inner); }
};

// -log likelihood of all levels at search point y; +inf where it is not
// finite, and at once when the fit was told to stop (which ends the search).
struct LikelihoodCost {
  const SearchLayout* layout;
  std::span<const ObservedTrials> levels;
  OutlierWindow window;
  Truncation truncation;
  bool search;       // wfpt_log_density_search instead of the tolerance-bound density
  double tolerance;  // of the tolerance-bound density and the truncation's window
  FitInterruption* interruption;

  double cost(std::span<const double> y) const {
    if (interruption->requested()) return kInf;
    const StopCheck& stop = interruption->check != nullptr ? *interruption->check : kNeverStop;
    double total = 0.0;
    for (std::size_t l = 0; l < levels.size(); ++l) {
      const ModelParams p = layout->decode(y, l);
      if (check_density_args(0.0, p)) return kInf;
      const ObservedTrials& level = levels[l];
      const std::size_t n = level.rts.size();
      // The search density runs on from the levels before; the reported one
      // sums each level from 0 and then adds it.
      std::optional<double> sum;
      if (search) {
        const auto density = [&](std::size_t i) {
          const double rt = level.rts[i];
          return log_mixture(wfpt_log_density_search(rt, choice_of(level, i), p), rt, p.p_outlier, window);
        };
        sum = internal::sum_in_chunks(total, n, density, nullptr, stop);
      } else {
        const auto density = [&](std::size_t i) {
          const double rt = level.rts[i];
          return log_mixture(wfpt_log_density(rt, choice_of(level, i), p, tolerance), rt, p.p_outlier, window);
        };
        sum = internal::sum_in_chunks(0.0, n, density, nullptr, stop);
      }
      if (!sum) {
        interruption->stopped = true;
        return kInf;
      }
      if (truncation.any()) {
        const double kept = wfpt_log_window_probability(p, truncation.lo(), truncation.hi(), window, tolerance);
        *sum -= static_cast<double>(n) * kept;
      }
      total = search ? *sum : total + *sum;
    }
    return std::isfinite(total) ? -total : kInf;
  }

  bool stopped() const { return interruption->stopped; }
};

static_assert(CostFunction<LikelihoodCost>);

std::optional<FitError> check_levels(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const Contaminants& contaminants, const Truncation& truncation) {
  if (levels.empty()) return FitError::no_levels();
  const std::uint64_t need =
      std::max(kMinTrials, kMinTrialsPerParam * free_param_count(model, contaminants.free()));
  for (const ObservedTrials& level : levels) {
    if (level.rts.size() < need) return FitError::too_few_trials(level.rts.size(), need);
    for (const double rt : level.rts) {
      if (!(rt > 0.0) || !std::isfinite(rt)) return FitError::bad_response_time();
    }
    for (const double rt : level.rts) {
      if (rt < truncation.lo() || rt > truncation.hi()) return FitError::outside_truncation();
    }
  }
  return std::nullopt;
}

// Equal response times have a likelihood that grows without bound as the
// boundary shrinks and the drift grows: the search would end on its bounds
// and call that a fit. Asked after the four-parameter search, so that data
// to which no point gives a finite likelihood are reported as such first.
bool constant_response_times(const ObservedTrials& trials) {
  const auto [fastest, slowest] = std::ranges::minmax(trials.rts);
  return fastest == slowest;
}

// Starting points of one data set in natural units, before any fit; t0
// within the data set's bound (the fastest response without contaminants).
std::vector<ModelParams> ddm_starts(const ObservedTrials& trials, const Contaminants& contaminants) {
  const double min_rt = t0_search_bound({&trials, 1}, contaminants);
  const TrialCounts counts = count_trials(trials);
  const double sign = 2.0 * static_cast<double>(counts.n_upper) >= static_cast<double>(counts.n_valid) ? 1.0 : -1.0;
  std::vector<ModelParams> starts;
  if (const auto ez = ez_diffusion(trials); ez.has_value()) {
    const Params& p = ez.value();
    starts.push_back({p.drift, p.boundary, 0.5, std::clamp(p.t0, 0.1 * min_rt, 0.9 * min_rt), 1.0, 0, 0, 0});
  }
  starts.push_back({sign * 1.0, 1.0, 0.5, 0.5 * min_rt, 1.0, 0, 0, 0});
  starts.push_back({sign * 2.5, 2.0, 0.5, 0.8 * min_rt, 1.0, 0, 0, 0});
  for (ModelParams& p : starts) p.p_outlier = contaminants.free() ? kPOutlierStart : contaminants.p_outlier();
  return starts;
}

// The full model starts from a four-parameter fit, once with small
// variabilities and once with large ones.
std::vector<ModelParams> full_starts(const ModelParams& ddm) {
  ModelParams small = ddm;
  small.sv = 0.5;
  small.sz = 0.2 * std::min(small.start, 1.0 - small.start);
  small.st = std::min(0.1, ddm.t0);
  ModelParams wide = small;
  wide.sv = 1.5;
  wide.sz = 0.5 * sz_search_bound(wide.start);
  return {small, wide};
}

// The likelihood is even in each variability at 0, and the search's
// logistic coordinates flatten towards 0: a variability that collapsed
// early, while the other parameters were still far off, stays there even
// where the likelihood at the end grows with it. Moving it back alone does
// not help: with the others where they are the likelihood falls with it
// (it climbs along a ridge, sz with start and t0), and the search slides
// back. So a restart moves the collapsed variabilities (sv under 0.1, sz
// under a tenth of its room, st under 10 ms) to moderate values, holds them
// there while the others adjust, and then frees them.
constexpr double kCollapsedShare = 0.1;
struct Uncollapsed {
  ModelParams params;
  std::vector<Param> moved;
};
Uncollapsed uncollapsed(const ModelParams& fit) {
  Uncollapsed u{fit, {}};
  ModelParams& p = u.params;
  if (p.sv < kCollapsedShare) {
    p.sv = 1.0;
    u.moved.push_back(Param::Sv);
  }
  const double sz_bound = sz_search_bound(p.start);
  if (p.sz < kCollapsedShare * sz_bound) {
    p.sz = 0.5 * sz_bound;
    u.moved.push_back(Param::Sz);
  }
  if (p.st < 0.01) {
    const double earliest = p.t0 - p.st / 2.0;  // kept: the search's t0 coordinate
    p.st = std::max(p.st, std::min(0.1, earliest));
    p.t0 = earliest + p.st / 2.0;
    u.moved.push_back(Param::St);
  }
  return u;
}

// The full model's search ends short of its best point more often than the
// four-parameter one's (flat directions in sz and sv, and an approximate
// density that can lead the first searches astray), so after the starts it
// searches again, on the reported density alone, from its best point with
// variabilities uncollapsed, while that gains more than kRestartGain, at
// most kFullRestarts times.
constexpr int kFullRestarts = 3;
constexpr double kRestartGain = 1e-3;

// Iterations each run may make, per search coordinate.
constexpr std::uint64_t kMaxItersPerDim = 400;

Result<MlFit, FitError> fit_levels(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                   const PerLevel& per_level, const Contaminants& contaminants,
                                   const Truncation& truncation,
                                   const std::vector<std::vector<ModelParams>>& natural_starts,
                                   FitInterruption& interruption, bool approximate_first = true,
                                   std::span<const Param> held = {}) {
  // approximate_first: search on wfpt_log_density_search, then polish on the
  // reported density; otherwise both on the reported density. `held`: of a
  // single start, parameters that stay at its values in a first run on the
  // reported density, which then starts the search.
  const SearchLayout layout(model, levels, per_level, contaminants);
  const LikelihoodCost search{
      &layout, levels, contaminants.window(), truncation, true, kFitQuadratureTolerance, &interruption};
  const LikelihoodCost reported{
      &layout, levels, contaminants.window(), truncation, false, kFitQuadratureTolerance, &interruption};
  // The fit reports the likelihood at its estimate to the densities' own
  // accuracy: the search's looser quadrature errs both ways, and picking
  // the best of its values favours points where it errs upward.
  const LikelihoodCost accurate{
      &layout, levels, contaminants.window(), truncation, false, kQuadratureTolerance, &interruption};
  std::vector<std::vector<double>> starts;
  for (const auto& s : natural_starts) starts.push_back(layout.encode(s));
  const std::uint64_t max_iters = kMaxItersPerDim * layout.dim();
  std::uint64_t held_iterations = 0;
  if (!held.empty()) {
    HeldCost<LikelihoodCost> holding{&reported, {}, starts.front()};
    for (const Param p : held) holding.held.push_back(layout.coordinate(p, 0));
    std::ranges::sort(holding.held);
    const auto first = internal::search_from(holding, holding.free_part(), max_iters);
    if (interruption.stopped) return unexpected(FitError::interrupted());
    if (first && std::isfinite(first.value().cost)) {
      starts.front() = holding.whole(first.value().point);
      held_iterations = first.value().iterations;
    }
  }
  const auto run = approximate_first ? internal::best_of(search, reported, starts, max_iters)
                                     : internal::best_of(reported, reported, starts, max_iters);
  if (interruption.stopped) return unexpected(FitError::interrupted());
  if (!run) return unexpected(run.error());
  const internal::SearchRun& r = run.value();
  if (!std::isfinite(r.cost)) return unexpected(FitError::no_finite_likelihood());
  const double cost = accurate.cost(r.point);
  if (interruption.stopped) return unexpected(FitError::interrupted());
  if (!std::isfinite(cost)) return unexpected(FitError::no_finite_likelihood());
  std::uint64_t n_trials = 0;
  for (const ObservedTrials& level : levels) n_trials += level.rts.size();
  const double log_likelihood = -cost;
  MlFit fit{{}, r.converged, r.iterations + held_iterations, log_likelihood, layout.dim(),
            information_criteria(log_likelihood, layout.dim(), n_trials)};
  for (std::size_t l = 0; l < levels.size(); ++l) fit.params.push_back(layout.decode(r.point, l));
  return fit;
}

// fit_ml of checked trials: the four-parameter fit from its starts, then
// for "full" the full fit from the four-parameter estimate.
Result<MlFit, FitError> fit_one(const ObservedTrials& trials, LikelihoodModel model, const Contaminants& contaminants,
                                const Truncation& truncation, FitInterruption& interruption) {
  const std::span<const ObservedTrials> one{&trials, 1};
  std::vector<std::vector<ModelParams>> starts;
  for (const auto& s : ddm_starts(trials, contaminants)) starts.push_back({s});
  auto ddm = fit_levels(one, LikelihoodModel::Ddm, {}, contaminants, truncation, starts, interruption);
  if (!ddm) return ddm;
  if (constant_response_times(trials)) return unexpected(FitError::constant_response_times());
  if (model == LikelihoodModel::Ddm) return ddm;
  // Each start is searched and polished on its own, and the fit keeps the
  // one with the higher reported likelihood: the search's approximate
  // density can prefer the wrong basin, so picking among starts by it
  // would lose the better one.
  // A run that fails (other than by a stop) leaves the others' results.
  std::optional<Result<MlFit, FitError>> best;
  std::optional<FitError> failure;
  std::uint64_t iterations = ddm.value().iterations;
  const auto keep_better = [&](Result<MlFit, FitError>&& run) {
    if (!run) {
      if (!failure) failure = run.error();
      return;
    }
    iterations += run.value().iterations;
    if (!best || run.value().log_likelihood > best->value().log_likelihood) best = std::move(run);
  };
  for (const ModelParams& start : full_starts(ddm.value().params[0])) {
    keep_better(fit_levels(one, model, {}, contaminants, truncation, {{start}}, interruption));
    if (interruption.stopped) return unexpected(FitError::interrupted());
  }
  if (!best) return unexpected(*failure);
  for (int restart = 0; restart < kFullRestarts; ++restart) {
    const double before = best->value().log_likelihood;
    const Uncollapsed from = uncollapsed(best->value().params[0]);
    keep_better(fit_levels(one, model, {}, contaminants, truncation, {{from.params}}, interruption, false, from.moved));
    if (interruption.stopped) return unexpected(FitError::interrupted());
    if (!(best->value().log_likelihood > before + kRestartGain)) break;
  }
  best->value().iterations = iterations;
  return std::move(*best);
}

// The stop check of a fit: asked at most every kStopPollInterval between
// evaluations (a four-parameter evaluation of a few hundred trials takes
// microseconds, the check may take the interpreter lock), and by the worker
// pool while it sums a large level.
FitInterruption interruption_of(const StopCheck& stop) {
  FitInterruption interruption{&stop};
  interruption.poll_interval = kStopPollInterval;
  return interruption;
}

}  // namespace

Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model, const StopCheck& stop) {
  return fit_ml(trials, model, Contaminants{}, stop);
}

Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model, const Contaminants& contaminants,
                               const StopCheck& stop) {
  return fit_ml(trials, model, contaminants, Truncation{}, stop);
}

Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model, const Contaminants& contaminants,
                               const Truncation& truncation, const StopCheck& stop) {
  if (auto error = check_levels({&trials, 1}, model, contaminants, truncation)) return unexpected(*error);
  FitInterruption interruption = interruption_of(stop);
  return fit_one(trials, model, contaminants, truncation, interruption);
}

Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level, const StopCheck& stop) {
  return fit_ml_joint(levels, model, per_level, Contaminants{}, stop);
}

Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level, const Contaminants& contaminants,
                                     const StopCheck& stop) {
  return fit_ml_joint(levels, model, per_level, contaminants, Truncation{}, stop);
}

Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level, const Contaminants& contaminants,
                                     const Truncation& truncation, const StopCheck& stop) {
  if (auto error = check_levels(levels, model, contaminants, truncation)) return unexpected(*error);
  FitInterruption interruption = interruption_of(stop);
  // Each level alone first: its estimates start the joint search (shared
  // parameters start at the mean of their coordinates).
  std::vector<ModelParams> separate;
  std::uint64_t iterations = 0;
  for (const ObservedTrials& level : levels) {
    auto fit = fit_one(level, model, contaminants, truncation, interruption);
    if (!fit) return fit;
    iterations += fit.value().iterations;
    separate.push_back(fit.value().params[0]);
  }
  auto joint = fit_levels(levels, model, per_level, contaminants, truncation, {separate}, interruption);
  if (joint) joint.value().iterations += iterations;
  return joint;
}

}  // namespace corvatel
