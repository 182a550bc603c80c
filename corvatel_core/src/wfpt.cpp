// The public densities (wfpt.h): the four-parameter and sv density straight
// from the series, and the sz and st averages, by their closed forms where
// these vouch for their rounding and by adaptive quadrature elsewhere (or
// by the fixed 5 x 5 rule of the optimisers' search density).
#include "corvatel/wfpt.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_quadrature.h"
#include "corvatel/internal/wfpt_series.h"
#include "corvatel/internal/wfpt_special.h"

namespace corvatel {

using internal::kInf;
using internal::LowerBoundary;

namespace {

// The variabilities' integrals. integrate(log_f, lo, hi, share) is the log
// of the integral of exp(log_f) over [lo, hi]; `share` is the part of the
// error budget it may spend (the inner sz integral's errors add up in st).
// With `closed_tolerance` set, the closed forms are tried first and accepted
// when their rounding is within it (times the same shares).
template <typename Integrate>
double log_density_with(const Integrate& integrate, double rt, const ModelParams& p, const LowerBoundary& m,
                        double w, std::optional<double> closed_tolerance) {
  const double w1 = w - p.sz / 2.0;
  const double w2 = w + p.sz / 2.0;
  // Mean over the start distribution at decision time tau.
  const auto log_over_start = [&](double tau) {
    if (p.sz == 0.0) return log_lower(m, tau, w);
    if (closed_tolerance) {
      if (const auto closed = log_closed_over_start(m, tau, w1, w2, *closed_tolerance * 0.25)) return *closed;
    }
    const auto at = [&](double ww) { return log_lower(m, tau, ww); };
    return integrate(at, w1, w2, 0.25) - std::log(w2 - w1);
  };
  if (p.st == 0.0) return log_over_start(rt - p.t0);
  // Averages divide by the windows as rounded (w2 - w1 here, tau_hi -
  // tau_lo below, not sz and st), so that a window far narrower than its
  // centre still averages to the density there.
  const double window_lo = rt - p.t0 - p.st / 2.0;
  const double tau_lo = std::max(0.0, window_lo);
  const double tau_hi = rt - (p.t0 - p.st / 2.0);
  const double log_window = std::log(tau_hi - window_lo);
  if (closed_tolerance && m.sv == 0.0) {
    const double hi = p.sz == 0.0 ? w : w2;
    const double lo = p.sz == 0.0 ? w : w1;
    if (const auto closed = log_closed_over_time(m, tau_lo, tau_hi, lo, hi, *closed_tolerance)) {
      return *closed - log_window;
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
  const auto [m, w] = internal::reduce(choice, p);
  if (p.sz == 0.0 && p.st == 0.0) return log_lower(m, rt - p.t0, w);
  const auto with_rule = [&](const auto& rule) {
    const auto integrate = [&](const auto& log_f, double lo, double hi, double share) {
      return log_integral(rule, log_f, lo, hi, tolerance * share);
    };
    return log_density_with(integrate, rt, p, m, w, tolerance);
  };
  if (tolerance >= kLowOrderTolerance) return with_rule(internal::kRule7);
  return with_rule(internal::kRule15);
}

double wfpt_log_density_search(double rt, bool choice, const ModelParams& p) {
  if (std::isinf(rt)) return -kInf;
  if (!(rt > p.t0 - p.st / 2.0)) return -kInf;
  const auto [m, w] = internal::reduce(choice, p);
  const auto integrate = [](const auto& log_f, double lo, double hi, double) {
    return internal::log_legendre5(log_f, lo, hi);
  };
  return log_density_with(integrate, rt, p, m, w, std::nullopt);
}

}  // namespace corvatel
