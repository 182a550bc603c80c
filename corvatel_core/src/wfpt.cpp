// The public densities (wfpt.h): the four-parameter and sv density straight
// from the series, and the sz and st averages, by their closed forms where
// these vouch for their rounding and by adaptive quadrature elsewhere (or
// by the fixed 5 x 5 rule of the optimisers' search density).
#include "corvatel/wfpt.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_quadrature.h"
#include "corvatel/internal/wfpt_series.h"
#include "corvatel/internal/wfpt_special.h"

namespace corvatel {

using internal::kInf;
using internal::LowerBoundary;

namespace {

// Quadrature segments one density may evaluate, nested integrals included
// (15 or 7 values of the series each, some 60 000 at most: tens of
// milliseconds), where the densities of the ordinary ranges use at most
// some 530. Past it, a density is the quadrature's estimate so far (only at
// extreme scales, such as boundary / noise_sd above 1000 with large sv, sz
// and st together).
constexpr std::size_t kQuadratureBudget = 4096;

// The variabilities' integrals. integrate(log_f, lo, hi, share) is the log
// of the integral of exp(log_f) over [lo, hi]; `share` is the part of the
// error budget it may spend (the inner sz integral's errors add up in st).
// With `closed_tolerance` set, the closed forms are tried first and accepted
// when their rounding is within it (times the same shares).
template <typename Integrate>
double log_density_with(const Integrate& integrate, double rt, const ModelParams& p, const internal::Reduced& r,
                        std::optional<double> closed_tolerance) {
  const LowerBoundary& m = r.m;
  // Averages divide by the windows as rounded (w2 - w1, tau_hi - window_lo,
  // not sz and st), so that a window far narrower than its centre still
  // averages to the density there; one narrower than the doubles' spacing
  // there rounds to nothing and is no window. Next to the far boundary the
  // start window is taken in the distance from it (the closed forms, which
  // want w exact, do not serve there, nor where a^2 is not a normal double).
  const bool at_far_edge = r.far + p.sz / 2.0 < internal::kFarEdge;
  const double w1 = at_far_edge ? r.far - p.sz / 2.0 : r.w - p.sz / 2.0;
  const double w2 = at_far_edge ? r.far + p.sz / 2.0 : r.w + p.sz / 2.0;
  const bool over_start = w2 > w1;
  const bool closed = closed_tolerance && !at_far_edge && std::isnormal(m.inv_a2);
  // Mean over the start distribution at decision time tau.
  const auto log_over_start = [&](double tau) {
    if (!over_start) return log_lower(m, tau, r.w, r.far);
    if (closed) {
      if (const auto mean = log_closed_over_start(m, tau, w1, w2, *closed_tolerance * 0.25)) return *mean;
    }
    if (at_far_edge) {
      const auto at = [&](double far) { return log_lower(m, tau, 1.0 - far, far); };
      return integrate(at, w1, w2, 0.25) - std::log(w2 - w1);
    }
    const auto at = [&](double w) { return log_lower(m, tau, w, 1.0 - w); };
    return integrate(at, w1, w2, 0.25) - std::log(w2 - w1);
  };
  const double window_lo = rt - p.t0 - p.st / 2.0;
  const double tau_lo = std::max(0.0, window_lo);
  const double tau_hi = rt - (p.t0 - p.st / 2.0);
  if (!(tau_hi > window_lo)) return log_over_start(rt - p.t0);
  const double log_window = std::log(tau_hi - window_lo);
  if (closed && m.sv == 0.0) {
    const double hi = over_start ? w2 : r.w;
    const double lo = over_start ? w1 : r.w;
    if (const auto integral = log_closed_over_time(m, tau_lo, tau_hi, lo, hi, *closed_tolerance)) {
      return *integral - log_window;
    }
  }
  return integrate(log_over_start, tau_lo, tau_hi, 1.0) - log_window;
}

}  // namespace

std::optional<ParamError> check_density_args(double rt, const ModelParams& p) {
  if (std::isnan(rt)) return ParamError::rt();
  return check_params(p, ParamUse::Density);
}

double wfpt_log_density(double rt, bool choice, const ModelParams& p, double tolerance) {
  if (std::isinf(rt)) return -kInf;
  const double lower_edge = p.t0 - p.st / 2.0;
  if (!(rt > lower_edge)) return -kInf;
  const internal::Reduced r = internal::reduce(choice, p);
  if (p.sz == 0.0 && p.st == 0.0) return log_lower(r.m, rt - p.t0, r.w, r.far);
  std::size_t budget = kQuadratureBudget;
  const auto with_rule = [&](const auto& rule) {
    const auto integrate = [&](const auto& log_f, double lo, double hi, double share) {
      return log_integral(rule, log_f, lo, hi, tolerance * share, budget);
    };
    return log_density_with(integrate, rt, p, r, tolerance);
  };
  if (tolerance >= kLowOrderTolerance) return with_rule(internal::kRule7);
  return with_rule(internal::kRule15);
}

double wfpt_log_density_search(double rt, bool choice, const ModelParams& p) {
  if (std::isinf(rt)) return -kInf;
  if (!(rt > p.t0 - p.st / 2.0)) return -kInf;
  const internal::Reduced r = internal::reduce(choice, p);
  const auto integrate = [](const auto& log_f, double lo, double hi, double) {
    return internal::log_legendre5(log_f, lo, hi);
  };
  return log_density_with(integrate, rt, p, r, std::nullopt);
}

}  // namespace corvatel
