// Nelder-Mead simplex minimisation (J. A. Nelder and R. Mead, "A simplex
// method for function minimization", The Computer Journal 7, 1965) of a cost
// over points of Dim doubles, Dim fixed at compile time (the simulation
// fit's three) or kDynamicDim, known only at run time (the likelihood fits,
// whose dimension grows with the levels of a joint fit). Both run the same
// moves, tie rules and stop rules.
//
// Every move, tie rule and cost evaluation happens in one fixed order, one
// IEEE operation at a time: the fits report the fitted point, the iteration
// count and the final cost bit for bit, and each evaluation there simulates
// a whole batch of trials or sums a likelihood over the data, so the
// evaluations themselves are part of the behaviour.
//
// Pieces: NelderMead (the simplex and its moves), IterState (the progress of
// one run and its stop test), Executor (the loop), FitInterruption (a stop
// check shared by the copies of a cost) and run_neldermead (the driver used
// by the simulation fit).
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "corvatel/errors.h"
#include "corvatel/result.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

// The dimension of a minimiser whose points are std::vector<double>, all of
// the length of the initial simplex's points.
inline constexpr std::size_t kDynamicDim = std::dynamic_extent;

template <std::size_t Dim>
struct PointType {
  using type = std::array<double, Dim>;
};
template <>
struct PointType<kDynamicDim> {
  using type = std::vector<double>;
};

template <std::size_t Dim>
using Point = typename PointType<Dim>::type;

// What the minimiser minimises: a copyable object whose const member
// cost(point) returns a double for every point of the run's dimension and
// never fails. The minimiser treats it as a pure function of the point and
// works on its own copy, so a cost that records its calls must keep the
// record behind a pointer.
template <typename F>
concept CostFunction = std::copy_constructible<F> && requires(const F& f, std::span<const double> point) {
  { f.cost(point) } -> std::same_as<double>;
};

template <std::size_t Dim>
struct Vertex {
  Point<Dim> point;
  double cost;
};

// The move that ended an iteration.
enum class Action { Reflection, Expansion, ContractionOutside, ContractionInside, Shrink };

enum class IterStatus { Running, Converged, MaxItersReached, TargetCostReached };

// A second convergence test, off unless a run is given tolerances (the
// simulation fit is not): converged when the best cost (vertex 0's) is
// finite and the worst (the last vertex's) exceeds it by at most `cost`, or
// when every coordinate of every vertex is within `point` of vertex 0's
// (|x_ij - x_0j| <= point; a NaN difference is not within). A NaN
// tolerance, the default, turns its half off.
struct RangeTolerances {
  double cost = std::numeric_limits<double>::quiet_NaN();
  double point = std::numeric_limits<double>::quiet_NaN();
};

// The progress of one run.
template <std::size_t Dim>
struct IterState {
  std::optional<Point<Dim>> point;  // vertex 0 after init and after each iteration
  double cost = std::numeric_limits<double>::infinity();
  std::optional<Point<Dim>> best_point;  // absent until update accepts a cost
  double best_cost = std::numeric_limits<double>::infinity();
  double target_cost = -std::numeric_limits<double>::infinity();
  std::uint64_t iter = 0;  // iterations completed
  std::uint64_t max_iters = std::numeric_limits<std::uint64_t>::max();
  IterStatus status = IterStatus::Running;

  // A strictly lower cost becomes the best; so does an infinity equal to the
  // best, so that a simplex of +inf costs still yields a point. NaN never does.
  void update() {
    const bool same_infinity = std::isinf(cost) && cost == best_cost;
    if (cost < best_cost || same_infinity) {
      best_point = point;
      best_cost = cost;
    }
  }

  // Decides, before each iteration, whether the run goes on: converged when
  // the spread is below the tolerance or the simplex is within `ranges`,
  // else out of iterations, else at the target. The spread is the sample
  // standard deviation of the vertex costs; NaN or infinite costs make it
  // NaN, which never counts as converged (a tolerance of 0 turns the test
  // off).
  void check_stop(std::span<const Vertex<Dim>> vertices, double convergence_tolerance,
                  const RangeTolerances& ranges = {}) {
    if (status != IterStatus::Running) return;
    const double n = static_cast<double>(vertices.size());
    double sum = 0.0;
    for (const auto& v : vertices) sum = sum + v.cost;
    const double mean = sum / n;
    double squares = 0.0;
    for (const auto& v : vertices) {
      const double d = v.cost - mean;
      squares = squares + d * d;
    }
    const double scale = 1.0 / static_cast<double>(vertices.size() - 1);
    const double spread = std::sqrt(scale * squares);
    if (spread < convergence_tolerance || within(vertices, ranges)) {
      status = IterStatus::Converged;
    } else if (iter >= max_iters) {
      status = IterStatus::MaxItersReached;
    } else if (best_cost <= target_cost) {
      status = IterStatus::TargetCostReached;
    }
  }

 private:
  static bool within(std::span<const Vertex<Dim>> vertices, const RangeTolerances& ranges) {
    const Vertex<Dim>& best = vertices.front();
    const double cost_range = vertices.back().cost - best.cost;
    if (std::isfinite(best.cost) && cost_range <= ranges.cost) return true;
    if (std::isnan(ranges.point)) return false;
    for (const Vertex<Dim>& v : vertices) {
      for (std::size_t j = 0; j < v.point.size(); ++j) {
        if (!(std::fabs(v.point[j] - best.point[j]) <= ranges.point)) return false;
      }
    }
    return true;
  }
};

// The simplex and its moves. Between iterations the vertices are sorted by
// ascending cost: vertex 0 is the best, the last one the worst.
template <std::size_t Dim>
class NelderMead {
  static_assert(Dim >= 1, "points need at least one coordinate");

 public:
  // Up to this many vertices the sort is a straight insertion sort, whose
  // handling of NaN costs is part of the behaviour.
  static constexpr std::size_t kInsertionSortLimit = 20;

  // The initial simplex in the caller's order; every cost is NaN until init.
  // With kDynamicDim the points must have one, nonzero length (checked by
  // next_iter and Executor::run).
  explicit NelderMead(std::vector<Point<Dim>> points) {
    vertices_.reserve(points.size());
    for (const auto& p : points) vertices_.push_back({p, std::numeric_limits<double>::quiet_NaN()});
  }

  void set_convergence_tolerance(double tolerance) { convergence_tolerance_ = tolerance; }
  double convergence_tolerance() const { return convergence_tolerance_; }
  // The second convergence test (RangeTolerances); none by default.
  void set_range_tolerances(const RangeTolerances& ranges) { range_tolerances_ = ranges; }
  const RangeTolerances& range_tolerances() const { return range_tolerances_; }
  double reflection_coeff() const { return reflection_coeff_; }
  double expansion_coeff() const { return expansion_coeff_; }
  double contraction_coeff() const { return contraction_coeff_; }
  double shrink_coeff() const { return shrink_coeff_; }
  std::span<const Vertex<Dim>> vertices() const { return vertices_; }

  // The simplex can be searched: at least two vertices, and with kDynamicDim
  // points of one, nonzero length.
  std::optional<SolverError> check_simplex() const {
    if (vertices_.size() < 2) return SolverError::too_few_vertices();
    if constexpr (Dim == kDynamicDim) {
      const std::size_t length = vertices_[0].point.size();
      for (const auto& v : vertices_) {
        if (length == 0 || v.point.size() != length) return SolverError::unequal_points();
      }
    }
    return std::nullopt;
  }

  // Evaluates every vertex in list order, then sorts.
  template <CostFunction F>
  void init(const F& cost_function, IterState<Dim>& state) {
    for (auto& v : vertices_) v.cost = cost_function.cost(v.point);
    sort_param_vecs();
    publish_first_vertex(state);
  }

  // One iteration on the sorted simplex; returns the move made. On failure
  // the vertices are left as they were.
  template <CostFunction F>
  Result<Action, SolverError> next_iter(const F& cost_function, IterState<Dim>& state) {
    if (const auto error = check_simplex()) return unexpected(*error);
    const std::optional<Action> action = make_move(cost_function);
    if (!action) return unexpected(SolverError::potential_bug());
    sort_param_vecs();
    publish_first_vertex(state);
    return *action;
  }

  // The point halfway (by contraction_coeff) from `base` towards `point`.
  Point<Dim> contract(const Point<Dim>& base, const Point<Dim>& point) const {
    return displaced(base, point, base, contraction_coeff_);
  }

  // Pulls every vertex but the best towards the best, evaluating each one
  // before the next moves.
  template <CostFunction F>
  void shrink(const F& cost_function) {
    if (vertices_.empty()) return;
    const Point<Dim> best = vertices_[0].point;
    for (std::size_t i = 1; i < vertices_.size(); ++i) {
      vertices_[i].point = displaced(best, vertices_[i].point, best, shrink_coeff_);
      vertices_[i].cost = cost_function.cost(vertices_[i].point);
    }
  }

  // Stable, ascending by cost; a vertex goes before another only when its
  // cost is strictly lower. In the insertion sort a NaN cost therefore
  // neither moves nor lets anything past it. Larger simplices use
  // std::stable_sort, which needs a strict weak order: there NaN costs go
  // last, and costs without NaN come out the same as with the insertion sort.
  void sort_param_vecs() {
    if (vertices_.size() <= kInsertionSortLimit) {
      for (std::size_t i = 1; i < vertices_.size(); ++i) {
        const Vertex<Dim> moving = vertices_[i];
        std::size_t j = i;
        while (j > 0 && vertices_[j - 1].cost > moving.cost) {
          vertices_[j] = vertices_[j - 1];
          --j;
        }
        vertices_[j] = moving;
      }
      return;
    }
    std::stable_sort(vertices_.begin(), vertices_.end(), [](const Vertex<Dim>& a, const Vertex<Dim>& b) {
      return a.cost < b.cost || (!std::isnan(a.cost) && std::isnan(b.cost));
    });
  }

 private:
  // base + (a - b) * coeff, one operation at a time: every move has this shape.
  static Point<Dim> displaced(const Point<Dim>& base, const Point<Dim>& a, const Point<Dim>& b, double coeff) {
    Point<Dim> result = base;  // of the points' length
    for (std::size_t j = 0; j < result.size(); ++j) {
      const double t = a[j] - b[j];
      const double u = t * coeff;
      result[j] = base[j] + u;
    }
    return result;
  }

  // Of all vertices but the worst: summed in order, then scaled by one
  // precomputed reciprocal (not divided).
  Point<Dim> centroid() const {
    const std::size_t n = vertices_.size();
    Point<Dim> sum = vertices_[0].point;
    for (std::size_t i = 1; i + 1 < n; ++i) {
      for (std::size_t j = 0; j < sum.size(); ++j) sum[j] = sum[j] + vertices_[i].point[j];
    }
    const double r = 1.0 / static_cast<double>(n - 1);
    for (double& c : sum) c = c * r;
    return sum;
  }

  void replace_worst(const Point<Dim>& point, double cost) { vertices_.back() = {point, cost}; }

  // Reflects the worst vertex and then expands, contracts or shrinks; nothing
  // when the costs fit no case, which takes a NaN.
  template <CostFunction F>
  std::optional<Action> make_move(const F& cost_function) {
    const std::size_t n = vertices_.size();
    const double f_b = vertices_[0].cost;
    const double f_s = vertices_[n - 2].cost;
    const Point<Dim> x_w = vertices_[n - 1].point;
    const double f_w = vertices_[n - 1].cost;
    const Point<Dim> x_o = centroid();

    const Point<Dim> x_r = displaced(x_o, x_o, x_w, reflection_coeff_);
    const double f_r = cost_function.cost(x_r);

    if (f_r < f_s && f_r >= f_b) {
      replace_worst(x_r, f_r);
      return Action::Reflection;
    }
    if (f_r < f_b) {
      const Point<Dim> x_e = displaced(x_o, x_r, x_o, expansion_coeff_);
      const double f_e = cost_function.cost(x_e);
      if (f_e < f_r) {
        replace_worst(x_e, f_e);
      } else {
        replace_worst(x_r, f_r);
      }
      return Action::Expansion;
    }
    if (f_r >= f_s) {
      if (f_r < f_w) {
        const Point<Dim> x_c = contract(x_o, x_r);
        const double f_c = cost_function.cost(x_c);
        if (f_c <= f_r) {
          replace_worst(x_c, f_c);
          return Action::ContractionOutside;
        }
      } else {
        const Point<Dim> x_c = contract(x_o, x_w);
        const double f_c = cost_function.cost(x_c);
        if (f_c < f_w) {
          replace_worst(x_c, f_c);
          return Action::ContractionInside;
        }
      }
      shrink(cost_function);
      return Action::Shrink;
    }
    return std::nullopt;
  }

  void publish_first_vertex(IterState<Dim>& state) const {
    if (vertices_.empty()) return;
    state.point = vertices_[0].point;
    state.cost = vertices_[0].cost;
  }

  std::vector<Vertex<Dim>> vertices_;
  double reflection_coeff_ = 1.0;
  double expansion_coeff_ = 2.0;
  double contraction_coeff_ = 0.5;
  double shrink_coeff_ = 0.5;
  double convergence_tolerance_ = std::numeric_limits<double>::epsilon();
  RangeTolerances range_tolerances_;
};

template <CostFunction F, std::size_t Dim>
struct OptimizationResult {
  F cost_function;
  NelderMead<Dim> solver;  // with its final vertices
  IterState<Dim> state;
};

// The loop of one run. Set max_iters (and target_cost, if wanted) through
// state() before run(), which consumes the executor.
template <CostFunction F, std::size_t Dim>
class Executor {
 public:
  Executor(F cost_function, NelderMead<Dim> solver)
      : cost_function_(std::move(cost_function)), solver_(std::move(solver)) {}

  void set_max_iters(std::uint64_t max_iters) { state_.max_iters = max_iters; }
  IterState<Dim>& state() { return state_; }

  Result<OptimizationResult<F, Dim>, SolverError> run() && {
    if (const auto error = solver_.check_simplex()) return unexpected(*error);
    solver_.init(cost_function_, state_);
    state_.update();
    for (;;) {
      // A cost that can be told to stop ends the run where it is.
      if constexpr (requires { cost_function_.stopped(); }) {
        if (cost_function_.stopped()) break;
      }
      state_.check_stop(solver_.vertices(), solver_.convergence_tolerance(), solver_.range_tolerances());
      if (state_.status != IterStatus::Running) break;
      const auto step = solver_.next_iter(cost_function_, state_);
      if (!step) return unexpected(step.error());
      state_.update();
      ++state_.iter;
    }
    return OptimizationResult<F, Dim>{std::move(cost_function_), std::move(solver_), std::move(state_)};
  }

 private:
  F cost_function_;
  NelderMead<Dim> solver_;
  IterState<Dim> state_;
};

// The caller's stop check, asked before cost evaluations; once it says stop,
// `stopped` stays true, every later evaluation should return at once with
// a cost that ends the search, and a cost's stopped() hook (see Executor)
// reports it. Asked before every evaluation, or no more often than
// `poll_interval` when that is positive (cheap evaluations, a check that
// takes the interpreter lock). The copies of a cost share one through a
// pointer.
struct FitInterruption {
  const StopCheck* check = nullptr;
  bool stopped = false;
  std::chrono::steady_clock::duration poll_interval{0};
  bool asked = false;  // the first call always asks
  std::chrono::steady_clock::time_point last_asked{};

  bool requested() {
    if (stopped || check == nullptr || !*check) return stopped;
    if (poll_interval > std::chrono::steady_clock::duration::zero()) {
      const auto now = std::chrono::steady_clock::now();
      if (asked && now - last_asked < poll_interval) return false;
      asked = true;
      last_asked = now;
    }
    if ((*check)()) stopped = true;
    return stopped;
  }
};

// What the simulation fit needs from a run: the first three coordinates of
// the best point, its cost and the iterations made.
struct NelderMeadFit {
  std::array<double, 3> point;
  double cost;
  std::uint64_t iterations;
};

// The driver's bound on the spread of the vertex costs.
inline constexpr double kFitConvergenceTolerance = 1e-10;

// Minimises a copy of `cost` from `simplex` for at most `max_iters`
// iterations. A failed run becomes FitError Optimizer with the solver's
// message; a run that never accepted a cost (the first vertex stayed NaN)
// becomes NoSolution.
template <CostFunction F, std::size_t Dim>
Result<NelderMeadFit, FitError> run_neldermead(const F& cost, std::vector<std::array<double, Dim>> simplex,
                                               std::uint64_t max_iters) {
  static_assert(Dim >= 3, "the fit reads three coordinates");
  NelderMead<Dim> solver(std::move(simplex));
  solver.set_convergence_tolerance(kFitConvergenceTolerance);
  Executor<F, Dim> executor(cost, std::move(solver));
  executor.set_max_iters(max_iters);
  auto run = std::move(executor).run();
  if (!run) return unexpected(FitError::optimizer(run.error().message()));
  const IterState<Dim>& state = run.value().state;
  if (!state.best_point) return unexpected(FitError::no_solution());
  const Point<Dim>& best = *state.best_point;
  return NelderMeadFit{{best[0], best[1], best[2]}, state.best_cost, state.iter};
}

}  // namespace corvatel
