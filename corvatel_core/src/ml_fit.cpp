#include "corvatel/ml_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

#include "corvatel/ez.h"

namespace corvatel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Bounds {
  double lo, hi;
};
constexpr Bounds kDriftBounds{-15.0, 15.0};
constexpr Bounds kBoundaryBounds{0.05, 10.0};
constexpr Bounds kStartBounds{0.01, 0.99};
constexpr Bounds kSvBounds{0.0, 6.0};
constexpr double kSzRoom = 0.98;  // of the largest sz the start allows
constexpr Bounds kStBounds{0.0, 1.0};

// Fewer trials than this per level leave the likelihood too flat to fit.
constexpr std::uint64_t kMinTrialsPerParam = 2;
constexpr std::uint64_t kMinTrials = 10;

double logistic(double y) { return 1.0 / (1.0 + std::exp(-y)); }
double to_range(const Bounds& b, double y) { return b.lo + (b.hi - b.lo) * logistic(y); }
// Inverse of to_range, with x pulled inside the open interval first.
double from_range(const Bounds& b, double x) {
  const double margin = 1e-6 * (b.hi - b.lo);
  const double c = std::clamp(x, b.lo + margin, b.hi - margin);
  return std::log((c - b.lo) / (b.hi - c));
}

std::size_t index_of(FitParam p) { return static_cast<std::size_t>(p); }

// Where each level's parameters live in the search vector.
struct Layout {
  LikelihoodModel model;
  std::size_t n_levels;
  std::vector<std::array<std::size_t, kFitParamCount>> slot;  // [level][param]
  std::size_t dim = 0;
  std::vector<double> t0_limit;  // per level: min rt over the trials its t0 covers

  Layout(LikelihoodModel m, std::span<const std::span<const Trial>> levels,
         const std::array<bool, kFitParamCount>& per_level)
      : model(m), n_levels(levels.size()), slot(levels.size()), t0_limit(levels.size()) {
    const std::size_t used = free_param_count(m);
    for (std::size_t p = 0; p < used; ++p) {
      if (per_level[p]) {
        for (std::size_t l = 0; l < n_levels; ++l) slot[l][p] = dim++;
      } else {
        for (std::size_t l = 0; l < n_levels; ++l) slot[l][p] = dim;
        ++dim;
      }
    }
    double global_min = kInf;
    std::vector<double> level_min(n_levels, kInf);
    for (std::size_t l = 0; l < n_levels; ++l) {
      for (const Trial& t : levels[l]) level_min[l] = std::min(level_min[l], t.rt);
      global_min = std::min(global_min, level_min[l]);
    }
    for (std::size_t l = 0; l < n_levels; ++l) {
      t0_limit[l] = per_level[index_of(FitParam::T0)] ? level_min[l] : global_min;
    }
  }

  ModelParams decode(std::span<const double> y, std::size_t level) const {
    const auto& s = slot[level];
    ModelParams p;
    p.drift = to_range(kDriftBounds, y[s[0]]);
    p.boundary = to_range(kBoundaryBounds, y[s[1]]);
    p.start = to_range(kStartBounds, y[s[2]]);
    const double lower_t0 = t0_limit[level] * logistic(y[s[3]]);
    p.t0 = lower_t0;
    if (model == LikelihoodModel::Full) {
      p.sv = to_range(kSvBounds, y[s[4]]);
      const double room = 2.0 * std::min(p.start, 1.0 - p.start) * kSzRoom;
      p.sz = room * logistic(y[s[5]]);
      p.st = to_range(kStBounds, y[s[6]]);
      p.t0 = lower_t0 + p.st / 2.0;
    }
    return p;
  }

  // Search coordinates of natural parameters, one set per level.
  std::vector<double> encode(std::span<const ModelParams> params) const {
    std::vector<double> y(dim, 0.0);
    std::vector<int> seen(dim, 0);
    std::vector<double> sum(dim, 0.0);
    for (std::size_t l = 0; l < n_levels; ++l) {
      const ModelParams& p = params[l];
      const auto& s = slot[l];
      std::array<double, kFitParamCount> v{};
      v[0] = from_range(kDriftBounds, p.drift);
      v[1] = from_range(kBoundaryBounds, p.boundary);
      v[2] = from_range(kStartBounds, p.start);
      const double lower_t0 = model == LikelihoodModel::Full ? p.t0 - p.st / 2.0 : p.t0;
      v[3] = from_range({0.0, t0_limit[l]}, lower_t0);
      if (model == LikelihoodModel::Full) {
        v[4] = from_range(kSvBounds, p.sv);
        const double room = 2.0 * std::min(p.start, 1.0 - p.start) * kSzRoom;
        v[5] = from_range({0.0, room}, p.sz);
        v[6] = from_range(kStBounds, p.st);
      }
      for (std::size_t q = 0; q < free_param_count(model); ++q) {
        sum[s[q]] += v[q];
        ++seen[s[q]];
      }
    }
    for (std::size_t i = 0; i < dim; ++i) y[i] = sum[i] / seen[i];
    return y;
  }
};

// -log likelihood of all levels at search point y; +inf where it is not finite.
struct Objective {
  const Layout* layout;
  std::span<const std::span<const Trial>> levels;
  bool search;  // wfpt_log_density_search instead of the tolerance-bound density

  double operator()(std::span<const double> y) const {
    double total = 0.0;
    for (std::size_t l = 0; l < levels.size(); ++l) {
      const ModelParams p = layout->decode(y, l);
      if (check_density_args(0.0, p)) return kInf;
      if (search) {
        for (const Trial& t : levels[l]) total += wfpt_log_density_search(t.rt, t.choice, p);
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

std::optional<MlError> check_levels(std::span<const std::span<const Trial>> levels, LikelihoodModel model) {
  if (levels.empty()) return MlError::no_levels();
  const std::uint64_t need = std::max(kMinTrials, kMinTrialsPerParam * free_param_count(model));
  for (const auto& level : levels) {
    if (level.size() < need) return MlError::too_few_trials(level.size(), need);
    for (const Trial& t : level) {
      if (!(t.rt > 0.0) || !std::isfinite(t.rt)) return MlError::bad_response_time();
    }
  }
  return std::nullopt;
}

// Starting points of one data set in natural units, before any fit.
std::vector<ModelParams> ddm_starts(std::span<const Trial> trials) {
  double min_rt = kInf;
  std::uint64_t upper = 0;
  for (const Trial& t : trials) {
    min_rt = std::min(min_rt, t.rt);
    upper += t.choice ? 1 : 0;
  }
  const double sign = 2.0 * static_cast<double>(upper) >= static_cast<double>(trials.size()) ? 1.0 : -1.0;
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

Result<MlFit, MlError> fit_levels(std::span<const std::span<const Trial>> levels, LikelihoodModel model,
                                  const std::array<bool, kFitParamCount>& per_level,
                                  const std::vector<std::vector<ModelParams>>& natural_starts) {
  const Layout layout(model, levels, per_level);
  const Objective search{&layout, levels, true};
  const Objective f{&layout, levels, false};
  std::vector<std::vector<double>> starts;
  for (const auto& s : natural_starts) starts.push_back(layout.encode(s));
  const RunResult r = best_of(search, f, starts, kMaxItersPerDim * layout.dim);
  if (!std::isfinite(r.cost)) return unexpected(MlError::no_finite_likelihood());
  MlFit fit{{}, r.converged, r.iterations, -r.cost};
  for (std::size_t l = 0; l < levels.size(); ++l) fit.params.push_back(layout.decode(r.point, l));
  return fit;
}

}  // namespace

std::size_t free_param_count(LikelihoodModel model) { return model == LikelihoodModel::Ddm ? 4 : 7; }

std::string MlError::message() const {
  switch (kind_) {
    case Kind::TooFewTrials:
      return "a maximum-likelihood fit needs at least " + std::to_string(need_) + " trials per level; got " +
             std::to_string(have_);
    case Kind::BadResponseTime: return "response times must be positive and finite";
    case Kind::NoLevels: return "a joint fit needs at least one level";
    case Kind::NoFiniteLikelihood: return "no parameters within the bounds give the data a finite likelihood";
  }
  return "";
}

double sum_log_likelihood(std::span<const Trial> trials, const ModelParams& params, double tolerance) {
  double total = 0.0;
  for (const Trial& t : trials) total += wfpt_log_density(t.rt, t.choice, params, tolerance);
  return total;
}

Result<MlFit, MlError> fit_ml(std::span<const Trial> trials, LikelihoodModel model) {
  const std::array<std::span<const Trial>, 1> one{trials};
  if (auto error = check_levels(one, model)) return unexpected(*error);
  std::vector<std::vector<ModelParams>> starts;
  for (const auto& s : ddm_starts(trials)) starts.push_back({s});
  auto ddm = fit_levels(one, LikelihoodModel::Ddm, {}, starts);
  if (model == LikelihoodModel::Ddm || !ddm) return ddm;
  auto full = fit_levels(one, model, {}, {{full_start(ddm.value().params[0])}});
  if (full) full.value().iterations += ddm.value().iterations;
  return full;
}

Result<MlFit, MlError> fit_ml_joint(std::span<const std::span<const Trial>> levels, LikelihoodModel model,
                                    const std::array<bool, kFitParamCount>& per_level) {
  if (auto error = check_levels(levels, model)) return unexpected(*error);
  // Each level alone first: its estimates start the joint search (shared
  // parameters start at the mean of their coordinates).
  std::vector<ModelParams> separate;
  std::uint64_t iterations = 0;
  for (const auto& level : levels) {
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
