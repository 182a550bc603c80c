// Densities and distribution functions of many trials at once
// (log_densities and distribution_functions in wfpt.h): one pass that
// checks every element's arguments and one that computes, each cut into
// pieces on the worker pool. Elements never depend on each other, so the
// values are those of the scalar function whatever the cut; the first
// invalid element is the one of lowest index, whichever piece found it. The
// contaminant mixture is a layer over each element's density.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "corvatel/wfpt.h"

namespace corvatel {

namespace {

constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();

// Runs body(i) for i in [0, n) on the pool. A stop the caller asks for is
// passed on to the pieces still running through `stopping`, which they
// read before each element, so that the call returns after at most one
// density per worker (a density's work is bounded: wfpt.cpp).
template <typename Body>
bool for_each_element(std::size_t n, const Body& body, WorkerPool& pool, const StopCheck& stop) {
  std::atomic<bool> stopping{false};
  const auto run = [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) {
      if (stopping.load(std::memory_order_relaxed)) return;
      body(static_cast<std::size_t>(i));
    }
  };
  if (!stop) {
    pool.parallel_for(n, run);
    return true;
  }
  const StopCheck ask = [&] {
    try {
      const bool stop_now = stop();
      if (stop_now) stopping.store(true, std::memory_order_relaxed);
      return stop_now;
    } catch (...) {
      stopping.store(true, std::memory_order_relaxed);  // the caller's thread is being unwound
      throw;
    }
  };
  return pool.parallel_for(n, run, ask);
}

void lower_to(std::atomic<std::size_t>& first, std::size_t i) {
  std::size_t seen = first.load(std::memory_order_relaxed);
  while (i < seen && !first.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
  }
}

double density_at(const DensityColumns& in, std::size_t i, DensityScale scale) {
  const double rt = in.rt.at(i);
  const ModelParams p = in.params_at(i);
  const double log_density = log_mixture(wfpt_log_density(rt, in.choice.at(i) != 0, p), rt, p.p_outlier,
                                         in.outlier_window);
  return scale == DensityScale::Log ? log_density : std::exp(log_density);
}

// value(i) of every element into out, after every element's check: on the
// calling thread for small batches, else in pieces on the pool.
template <typename Value>
std::optional<DensitiesFailure> inline_values(const DensityColumns& in, std::span<double> out, const Value& value) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (auto bad = check_density_args(in.rt.at(i), in.params_at(i))) return *bad;
  }
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = value(i);
  return std::nullopt;
}

// An element without sv, sz or st: a series and no integral, well under a
// microsecond.
bool plain_element(const DensityColumns& in, std::size_t i) {
  return in.sv.at(i) == 0.0 && in.sz.at(i) == 0.0 && in.st.at(i) == 0.0;
}

// Whether the first n elements run on the calling thread.
bool runs_inline(const DensityColumns& in, std::size_t n) {
  if (n <= kInlineDensities) return true;
  if (n > kInlinePlainDensities) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!plain_element(in, i)) return false;
  }
  return true;
}

template <typename Value>
std::optional<DensitiesFailure> pooled_values(const DensityColumns& in, std::span<double> out, const Value& value,
                                              WorkerPool& pool, const StopCheck& stop) {
  const std::size_t n = std::min(in.n, out.size());
  if (runs_inline(in, n)) return inline_values(in, out.first(n), value);
  std::atomic<std::size_t> first_bad{kNoIndex};
  const auto check = [&](std::size_t i) {
    if (i < first_bad.load(std::memory_order_relaxed) && check_density_args(in.rt.at(i), in.params_at(i))) {
      lower_to(first_bad, i);
    }
  };
  if (!for_each_element(n, check, pool, stop)) return DensitiesInterrupted{};
  if (const std::size_t i = first_bad.load(); i != kNoIndex) return *check_density_args(in.rt.at(i), in.params_at(i));
  const auto compute = [&](std::size_t i) { out[i] = value(i); };
  if (!for_each_element(n, compute, pool, stop)) return DensitiesInterrupted{};
  return std::nullopt;
}

// The shared pool, started only for a batch that needs it.
template <typename Value>
std::optional<DensitiesFailure> shared_pool_values(const DensityColumns& in, std::span<double> out,
                                                   const Value& value, const StopCheck& stop) {
  const std::size_t n = std::min(in.n, out.size());
  if (runs_inline(in, n)) return inline_values(in, out.first(n), value);
  return pooled_values(in, out, value, WorkerPool::shared(), stop);
}

auto cdf_at(const DensityColumns& in, CdfSide side, DensityScale scale) {
  return [&in, side, scale](std::size_t i) {
    const double log_value = wfpt_log_cdf(in.rt.at(i), in.choice.at(i) != 0, in.params_at(i), side);
    return scale == DensityScale::Log ? log_value : std::exp(log_value);
  };
}

// The log density of element i, its derivatives written to `gradient`
// (one run of n per parameter).
auto gradient_at(const DensityColumns& in, std::span<double> gradient) {
  return [&in, gradient](std::size_t i) {
    const DensityGradient g =
        wfpt_log_density_gradient(in.rt.at(i), in.choice.at(i) != 0, in.params_at(i), in.outlier_window);
    const std::size_t n = gradient.size() / kGradientParams.size();
    for (std::size_t k = 0; k < kGradientParams.size(); ++k) gradient[k * n + i] = g.d[k];
    return g.log_density;
  };
}

}  // namespace

ModelParams DensityColumns::params_at(std::size_t i) const {
  return {drift.at(i),    boundary.at(i), start.at(i), t0.at(i),         noise_sd.at(i),
          sv.at(i),       sz.at(i),       st.at(i),    p_outlier.at(i)};
}

double log_mixture(double log_diffusion, double rt, double p_outlier, const OutlierWindow& window) {
  if (p_outlier == 0.0) return log_diffusion;
  const double diffusion = std::log1p(-p_outlier) + log_diffusion;
  if (!(rt >= window.lo && rt <= window.hi)) return diffusion;
  const double contaminant = std::log(p_outlier * 0.5 / (window.hi - window.lo));
  const double larger = std::max(diffusion, contaminant);
  const double smaller = std::min(diffusion, contaminant);
  return larger + std::log1p(std::exp(smaller - larger));
}

std::optional<DensitiesFailure> log_densities(const DensityColumns& in, std::span<double> out, DensityScale scale,
                                              WorkerPool& pool, const StopCheck& stop) {
  if (auto bad = check_outlier_window(in.outlier_window)) return *bad;
  return pooled_values(in, out, [&](std::size_t i) { return density_at(in, i, scale); }, pool, stop);
}

std::optional<DensitiesFailure> log_densities(const DensityColumns& in, std::span<double> out, DensityScale scale,
                                              const StopCheck& stop) {
  if (auto bad = check_outlier_window(in.outlier_window)) return *bad;
  return shared_pool_values(in, out, [&](std::size_t i) { return density_at(in, i, scale); }, stop);
}

std::optional<DensitiesFailure> distribution_functions(const DensityColumns& in, std::span<double> out,
                                                       CdfSide side, DensityScale scale, WorkerPool& pool,
                                                       const StopCheck& stop) {
  return pooled_values(in, out, cdf_at(in, side, scale), pool, stop);
}

std::optional<DensitiesFailure> distribution_functions(const DensityColumns& in, std::span<double> out,
                                                       CdfSide side, DensityScale scale, const StopCheck& stop) {
  return shared_pool_values(in, out, cdf_at(in, side, scale), stop);
}

std::optional<DensitiesFailure> log_density_gradients(const DensityColumns& in, std::span<double> log_out,
                                                      std::span<double> gradient_out, WorkerPool& pool,
                                                      const StopCheck& stop) {
  if (auto bad = check_outlier_window(in.outlier_window)) return *bad;
  const std::size_t n = std::min(in.n, log_out.size());
  return pooled_values(in, log_out.first(n), gradient_at(in, gradient_out.first(n * kGradientParams.size())), pool,
                       stop);
}

std::optional<DensitiesFailure> log_density_gradients(const DensityColumns& in, std::span<double> log_out,
                                                      std::span<double> gradient_out, const StopCheck& stop) {
  if (auto bad = check_outlier_window(in.outlier_window)) return *bad;
  const std::size_t n = std::min(in.n, log_out.size());
  return shared_pool_values(in, log_out.first(n), gradient_at(in, gradient_out.first(n * kGradientParams.size())),
                            stop);
}

std::optional<ParamError> log_densities_in_support(const DensityColumns& in, std::span<double> log_out,
                                                   std::span<double> gradient_out) {
  if (auto bad = check_outlier_window(in.outlier_window)) return *bad;
  const std::size_t n = std::min(in.n, log_out.size());
  const bool gradients = !gradient_out.empty();
  const auto gradient = gradient_at(in, gradient_out.first(gradients ? n * kGradientParams.size() : 0));
  for (std::size_t i = 0; i < n; ++i) {
    if (check_density_args(in.rt.at(i), in.params_at(i))) {
      log_out[i] = -std::numeric_limits<double>::infinity();
      for (std::size_t k = 0; gradients && k < kGradientParams.size(); ++k) gradient_out[k * n + i] = 0.0;
      continue;
    }
    log_out[i] = gradients ? gradient(i) : density_at(in, i, DensityScale::Log);
  }
  return std::nullopt;
}

}  // namespace corvatel
