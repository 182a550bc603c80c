#include "corvatel/ml_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include "corvatel/ez.h"
#include "corvatel/internal/ml_layout.h"

namespace corvatel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Fewer trials than this per level leave the likelihood too flat to fit.
constexpr std::uint64_t kMinTrialsPerParam = 2;
constexpr std::uint64_t kMinTrials = 10;

constexpr std::array<Param, 4> kDdmParams = {Param::Drift, Param::Boundary, Param::Start, Param::T0};
constexpr std::array<Param, 7> kFullParams = {Param::Drift, Param::Boundary, Param::Start, Param::T0,
                                              Param::Sv,    Param::Sz,       Param::St};

constexpr unsigned fit_kind(LikelihoodModel model) { return model == LikelihoodModel::Ddm ? kFitDdm : kFitFull; }

// The lists above are the table's rows for each model, in table order.
template <std::size_t N>
constexpr bool lists_the_fitted(const std::array<Param, N>& list, LikelihoodModel model) {
  std::size_t next = 0;
  for (const ParamSpec& s : kParams) {
    if ((s.fitted_by & fit_kind(model)) == 0) continue;
    if (next == N || list[next] != s.param) return false;
    ++next;
  }
  return next == N;
}
static_assert(lists_the_fitted(kDdmParams, LikelihoodModel::Ddm));
static_assert(lists_the_fitted(kFullParams, LikelihoodModel::Full));

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

std::span<const Param> fitted_params(LikelihoodModel model) {
  if (model == LikelihoodModel::Ddm) return kDdmParams;
  return kFullParams;
}

std::size_t free_param_count(LikelihoodModel model) { return fitted_params(model).size(); }

double t0_search_bound(std::span<const ObservedTrials> levels) {
  double fastest = kInf;
  for (const ObservedTrials& level : levels) {
    for (const double rt : level.rts) fastest = std::min(fastest, rt);
  }
  return fastest;
}

double sz_search_bound(double start) { return 2.0 * std::min(start, 1.0 - start) * kSzRoom; }

namespace internal {

SearchLayout::SearchLayout(LikelihoodModel model, std::span<const ObservedTrials> levels,
                           const PerLevel& per_level)
    : model_(model), fitted_(fitted_params(model)), slot_(levels.size()), t0_bound_(levels.size()) {
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
  const double shared = t0_search_bound(levels);
  for (std::size_t l = 0; l < levels.size(); ++l) {
    t0_bound_[l] = t0_per_level ? t0_search_bound(levels.subspan(l, 1)) : shared;
  }
}

ModelParams SearchLayout::decode(std::span<const double> y, std::size_t level) const {
  ModelParams p;
  double earliest_t0 = 0.0;  // t0 - st/2
  for (std::size_t i = 0; i < fitted_.size(); ++i) {
    const double yi = y[slot_[level][i]];
    const ParamSpec& s = spec(fitted_[i]);
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
      const ParamSpec& s = spec(fitted_[i]);
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

}  // namespace internal

namespace {

using internal::SearchLayout;

// -log likelihood of all levels at search point y; +inf where it is not finite.
struct Objective {
  const SearchLayout* layout;
  std::span<const ObservedTrials> levels;
  bool search;  // wfpt_log_density_search instead of the tolerance-bound density

  double operator()(std::span<const double> y) const {
    double total = 0.0;
    for (std::size_t l = 0; l < levels.size(); ++l) {
      const ModelParams p = layout->decode(y, l);
      if (check_density_args(0.0, p)) return kInf;
      if (search) {
        const ObservedTrials& level = levels[l];
        for (std::size_t i = 0; i < level.rts.size(); ++i) {
          total += wfpt_log_density_search(level.rts[i], choice_of(level, i), p);
        }
      } else {
        total += sum_log_likelihood(levels[l], p, kFitQuadratureTolerance);
      }
    }
    return std::isfinite(total) ? -total : kInf;
  }
};

struct RunResult {
  std::vector<double> point;
  double cost;
  std::uint64_t iterations;
  bool converged;
};

constexpr double kCostSpread = 1e-7;
constexpr double kPointSpread = 1e-6;
constexpr double kInitialStep = 0.5;

// Nelder-Mead (reflection 1, expansion 2, contraction 1/2, shrink 1/2) in
// as many dimensions as the layout has; ties keep the earlier vertex, so the
// run is a fixed sequence of evaluations. The dimension is known only at run
// time (joint fits), which the fixed-size minimiser of neldermead.h cannot
// take.
RunResult nelder_mead(const Objective& f, std::vector<double> x0, std::uint64_t max_iters) {
  const std::size_t n = x0.size();
  std::vector<std::vector<double>> x(n + 1, x0);
  std::vector<double> fx(n + 1);
  for (std::size_t i = 0; i < n; ++i) x[i + 1][i] += kInitialStep;
  for (std::size_t i = 0; i <= n; ++i) fx[i] = f(x[i]);
  std::vector<std::size_t> order(n + 1);
  std::vector<double> centroid(n), trial(n), trial2(n);
  const auto point_at = [&](const std::vector<double>& base, const std::vector<double>& toward, double coeff,
                            std::vector<double>& out) {
    for (std::size_t j = 0; j < n; ++j) out[j] = base[j] + coeff * (toward[j] - base[j]);
  };
  std::uint64_t iter = 0;
  bool converged = false;
  for (;; ++iter) {
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return fx[a] < fx[b]; });
    const std::size_t best = order.front();
    const std::size_t worst = order.back();
    const std::size_t second = order[n - 1];
    double point_spread = 0.0;
    for (std::size_t i = 0; i <= n; ++i) {
      for (std::size_t j = 0; j < n; ++j) point_spread = std::max(point_spread, std::fabs(x[i][j] - x[best][j]));
    }
    const bool flat = std::isfinite(fx[best]) && fx[worst] - fx[best] <= kCostSpread;
    if (flat || point_spread <= kPointSpread) {
      converged = true;
      break;
    }
    if (iter >= max_iters) break;
    std::fill(centroid.begin(), centroid.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) centroid[j] += x[order[i]][j];
    }
    for (double& c : centroid) c /= static_cast<double>(n);
    point_at(centroid, x[worst], -1.0, trial);
    const double fr = f(trial);
    if (fr < fx[best]) {
      point_at(centroid, x[worst], -2.0, trial2);
      const double fe = f(trial2);
      if (fe < fr) {
        x[worst] = trial2;
        fx[worst] = fe;
      } else {
        x[worst] = trial;
        fx[worst] = fr;
      }
    } else if (fr < fx[second]) {
      x[worst] = trial;
      fx[worst] = fr;
    } else {
      const bool outside = fr < fx[worst];
      point_at(centroid, outside ? trial : x[worst], 0.5, trial2);
      const double fc = f(trial2);
      if (fc < (outside ? fr : fx[worst])) {
        x[worst] = trial2;
        fx[worst] = fc;
      } else {
        for (std::size_t i = 0; i <= n; ++i) {
          if (i == best) continue;
          point_at(x[best], x[i], 0.5, trial2);
          x[i] = trial2;
          fx[i] = f(x[i]);
        }
      }
    }
  }
  const std::size_t best = static_cast<std::size_t>(std::min_element(fx.begin(), fx.end()) - fx.begin());
  return {x[best], fx[best], iter, converged};
}

// Runs from every start on `search` (a cheaper, approximate likelihood), keeps
// the best (the first among equals), and restarts once from it with a fresh
// simplex on `f`, the likelihood the fit reports.
RunResult best_of(const Objective& search, const Objective& f, const std::vector<std::vector<double>>& starts,
                  std::uint64_t max_iters) {
  std::optional<RunResult> best;
  std::uint64_t iterations = 0;
  for (const auto& s : starts) {
    RunResult r = nelder_mead(search, s, max_iters);
    iterations += r.iterations;
    if (!best || r.cost < best->cost) best = std::move(r);
  }
  best->cost = f(best->point);
  RunResult polished = nelder_mead(f, best->point, max_iters);
  polished.iterations += iterations;
  if (!(polished.cost <= best->cost)) {
    best->iterations = polished.iterations;
    best->converged = false;
    return *best;
  }
  return polished;
}

constexpr std::uint64_t kMaxItersPerDim = 400;

std::optional<FitError> check_levels(std::span<const ObservedTrials> levels, LikelihoodModel model) {
  if (levels.empty()) return FitError::no_levels();
  const std::uint64_t need = std::max(kMinTrials, kMinTrialsPerParam * free_param_count(model));
  for (const ObservedTrials& level : levels) {
    if (level.rts.size() < need) return FitError::too_few_trials(level.rts.size(), need);
    for (const double rt : level.rts) {
      if (!(rt > 0.0) || !std::isfinite(rt)) return FitError::bad_response_time();
    }
  }
  return std::nullopt;
}

// Starting points of one data set in natural units, before any fit.
std::vector<ModelParams> ddm_starts(const ObservedTrials& trials) {
  const double min_rt = t0_search_bound({&trials, 1});
  const TrialCounts counts = count_trials(trials);
  const double sign = 2.0 * static_cast<double>(counts.n_upper) >= static_cast<double>(counts.n_valid) ? 1.0 : -1.0;
  std::vector<ModelParams> starts;
  if (const auto ez = ez_diffusion(trials); ez.has_value()) {
    const Params& p = ez.value();
    starts.push_back({p.drift, p.boundary, 0.5, std::clamp(p.t0, 0.1 * min_rt, 0.9 * min_rt), 1.0, 0, 0, 0});
  }
  starts.push_back({sign * 1.0, 1.0, 0.5, 0.5 * min_rt, 1.0, 0, 0, 0});
  starts.push_back({sign * 2.5, 2.0, 0.5, 0.8 * min_rt, 1.0, 0, 0, 0});
  return starts;
}

// The full model starts from a four-parameter fit with small variabilities.
ModelParams full_start(const ModelParams& ddm) {
  ModelParams p = ddm;
  p.sv = 0.5;
  p.sz = 0.2 * std::min(p.start, 1.0 - p.start);
  p.st = std::min(0.1, ddm.t0);
  return p;
}

Result<MlFit, FitError> fit_levels(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                   const PerLevel& per_level, const std::vector<std::vector<ModelParams>>& natural_starts) {
  const SearchLayout layout(model, levels, per_level);
  const Objective search{&layout, levels, true};
  const Objective f{&layout, levels, false};
  std::vector<std::vector<double>> starts;
  for (const auto& s : natural_starts) starts.push_back(layout.encode(s));
  const RunResult r = best_of(search, f, starts, kMaxItersPerDim * layout.dim());
  if (!std::isfinite(r.cost)) return unexpected(FitError::no_finite_likelihood());
  MlFit fit{{}, r.converged, r.iterations, -r.cost};
  for (std::size_t l = 0; l < levels.size(); ++l) fit.params.push_back(layout.decode(r.point, l));
  return fit;
}

}  // namespace

double sum_log_likelihood(const ObservedTrials& trials, const ModelParams& params, double tolerance) {
  double total = 0.0;
  for (std::size_t i = 0; i < trials.rts.size(); ++i) {
    total += wfpt_log_density(trials.rts[i], choice_of(trials, i), params, tolerance);
  }
  return total;
}

Result<MlFit, FitError> fit_ml(const ObservedTrials& trials, LikelihoodModel model) {
  const std::span<const ObservedTrials> one{&trials, 1};
  if (auto error = check_levels(one, model)) return unexpected(*error);
  std::vector<std::vector<ModelParams>> starts;
  for (const auto& s : ddm_starts(trials)) starts.push_back({s});
  auto ddm = fit_levels(one, LikelihoodModel::Ddm, {}, starts);
  if (model == LikelihoodModel::Ddm || !ddm) return ddm;
  auto full = fit_levels(one, model, {}, {{full_start(ddm.value().params[0])}});
  if (full) full.value().iterations += ddm.value().iterations;
  return full;
}

Result<MlFit, FitError> fit_ml_joint(std::span<const ObservedTrials> levels, LikelihoodModel model,
                                     const PerLevel& per_level) {
  if (auto error = check_levels(levels, model)) return unexpected(*error);
  // Each level alone first: its estimates start the joint search (shared
  // parameters start at the mean of their coordinates).
  std::vector<ModelParams> separate;
  std::uint64_t iterations = 0;
  for (const ObservedTrials& level : levels) {
    auto fit = fit_ml(level, model);
    if (!fit) return fit;
    iterations += fit.value().iterations;
    separate.push_back(fit.value().params[0]);
  }
  auto joint = fit_levels(levels, model, per_level, {separate});
  if (joint) joint.value().iterations += iterations;
  return joint;
}

}  // namespace corvatel
