// Pieces of the likelihood fits that tests reach directly: the summed
// log-likelihood in fixed chunks on the worker pool, and the search (runs of
// the Nelder-Mead minimiser of neldermead.h from several starts, then a
// restart from the best) for any cost.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "corvatel/errors.h"
#include "corvatel/ml_fit.h"
#include "corvatel/neldermead.h"
#include "corvatel/result.h"
#include "corvatel/worker_pool.h"

namespace corvatel::internal {

// start + term(0) + ... + term(n - 1) in an order that depends on n alone:
// chunks of kLikelihoodChunk terms, each summed left to right (the first
// from `start`, the others from 0), then the chunk sums added left to
// right. A single chunk is summed on the calling thread; more run on `pool`
// (the shared one when null), which asks `stop` while it waits and gives
// nothing when it said stop. `term` must not throw.
template <typename Term>
std::optional<double> sum_in_chunks(double start, std::size_t n, const Term& term, WorkerPool* pool,
                                    const StopCheck& stop) {
  if (n <= kLikelihoodChunk) {
    double total = start;
    for (std::size_t i = 0; i < n; ++i) total += term(i);
    return total;
  }
  const std::size_t chunks = n / kLikelihoodChunk + (n % kLikelihoodChunk != 0);
  std::vector<double> sums(chunks);
  const auto body = [&](std::uint64_t begin, std::uint64_t end) {
    for (std::size_t k = static_cast<std::size_t>(begin); k < end; ++k) {
      const std::size_t first = k * kLikelihoodChunk;
      const std::size_t last = std::min(n, first + kLikelihoodChunk);
      double sum = k == 0 ? start : 0.0;
      for (std::size_t i = first; i < last; ++i) sum += term(i);
      sums[k] = sum;
    }
  };
  WorkerPool& workers = pool != nullptr ? *pool : WorkerPool::shared();
  if (!workers.parallel_for(chunks, body, stop)) return std::nullopt;
  double total = sums[0];
  for (std::size_t k = 1; k < chunks; ++k) total += sums[k];
  return total;
}

// The likelihood fits' minimiser settings. A run has converged when the
// simplex's costs span at most kCostRange (log-likelihood units, with a
// finite best) or its points lie within kPointRange of the best in every
// search coordinate; the cost spread of the simulation fit (a sample
// standard deviation) is off. The first simplex is the start and the start
// stepped by kInitialStep along each coordinate in turn.
inline constexpr double kCostRange = 1e-7;
inline constexpr double kPointRange = 1e-6;
inline constexpr double kInitialStep = 0.5;

// The outcome of a run, or of several.
struct SearchRun {
  std::vector<double> point;  // the best point
  double cost;
  std::uint64_t iterations;
  bool converged;
};

// A cost that can be told to stop (a stopped() hook) says whether it did.
template <CostFunction F>
bool cost_stopped(const F& cost) {
  if constexpr (requires { cost.stopped(); }) {
    return cost.stopped();
  } else {
    return false;
  }
}

// One run of the shared minimiser from `start`, with the rules above, for
// at most max_iters iterations. The rules of neldermead.h apply throughout;
// where they differ from the likelihood fits' earlier minimiser (so that
// results changed with it): the centroid is the sum scaled by 1/n, not
// divided by n; the expansion point is x_o + (x_r - x_o) * 2, not
// x_o + 2 (x_o - x_w); an outside contraction is kept when its cost is at
// most, not strictly below, the reflected one; the vertices stay sorted
// from one iteration to the next, a new vertex going after those of equal
// cost (the earlier minimiser re-sorted fixed slots, ties by slot); a shrink
// moves the vertices in that sorted order; the best point is the first
// vertex reached at the lowest cost; and a NaN cost is a SolverError (the
// fits' costs are never NaN). Reflection, the contraction points and the
// shrunk points are computed as before, bit for bit, and the convergence
// test is the same except that a NaN coordinate difference no longer
// counts as within kPointRange.
// GCC 12 (-O2 and above) takes the executor's moved-from best point, a
// std::optional<std::vector<double>>, for maybe uninitialized where the
// executor is destroyed: a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
template <CostFunction F>
Result<SearchRun, FitError> search_from(const F& cost, const std::vector<double>& start, std::uint64_t max_iters) {
  std::vector<std::vector<double>> simplex(start.size() + 1, start);
  for (std::size_t i = 0; i < start.size(); ++i) simplex[i + 1][i] += kInitialStep;
  NelderMead<kDynamicDim> solver(std::move(simplex));
  solver.set_convergence_tolerance(0.0);
  solver.set_range_tolerances({kCostRange, kPointRange});
  Executor executor(cost, std::move(solver));
  executor.set_max_iters(max_iters);
  auto run = std::move(executor).run();
  if (!run) return unexpected(FitError::optimizer(run.error().message()));
  const IterState<kDynamicDim>& state = run.value().state;
  if (!state.best_point) return unexpected(FitError::no_solution());
  return SearchRun{*state.best_point, state.best_cost, state.iter, state.status == IterStatus::Converged};
}
#pragma GCC diagnostic pop

// Runs from every start on `search` (a cheap, approximate likelihood), keeps
// the best (the first among equal costs), and restarts once from it with a
// fresh simplex on `reported`, the likelihood the fit reports. The result is
// the restart's unless that fails to reach the start's reported cost (a NaN
// or a stop), when it is the start's, not converged; its iterations are
// those of all runs. A cost that was told to stop ends the search after the
// run it stopped in, with whatever that run reached.
template <CostFunction Search, CostFunction Reported>
Result<SearchRun, FitError> best_of(const Search& search, const Reported& reported,
                                    const std::vector<std::vector<double>>& starts, std::uint64_t max_iters) {
  std::optional<SearchRun> best;
  std::uint64_t iterations = 0;
  for (const auto& start : starts) {
    auto run = search_from(search, start, max_iters);
    if (!run) return run;
    iterations += run.value().iterations;
    if (!best || run.value().cost < best->cost) best = std::move(run.value());
    if (cost_stopped(search)) break;
  }
  if (!best) return unexpected(FitError::no_solution());
  best->iterations = iterations;
  if (cost_stopped(search)) return *best;

  best->cost = reported.cost(best->point);
  auto polished = search_from(reported, best->point, max_iters);
  if (!polished) return polished;
  SearchRun& restart = polished.value();
  restart.iterations += iterations;
  if (!(restart.cost <= best->cost)) {
    best->iterations = restart.iterations;
    best->converged = false;
    return *best;
  }
  return restart;
}

}  // namespace corvatel::internal
