// The first-passage distribution function at the lower boundary of the
// reduced model (wfpt_series.h), and its complement within the response:
// F(tau), the probability of ending at 0 by decision time tau, and
// S(tau) = P - F(tau), that of ending there later (P, the response's
// probability, is S(0) = F(inf)). Internal to the core: callers use wfpt.h.
//
// sv = 0: the density's integral over decision times in closed form
// (log_closed_over_time, wfpt_averages.h; F over [0, tau], S over
// [tau, inf)), at one start or averaged over a window of starts; where its
// rounding bound fails, a window of starts is averaged by quadrature of the
// one-start values, and one start falls back to quadrature of the density
// over [0, 2 a^2] plus the large-time tail S(T) = f(T) / lambda_1 beyond it.
// sv > 0: the normal drift is integrated numerically over the sv = 0 values.
#pragma once

#include <cstddef>

#include "corvatel/internal/wfpt_series.h"
#include "corvatel/wfpt.h"

namespace corvatel::internal {

// log F(tau) (side Below) or log S(tau) (side Above) at drift m.v (m.sv is
// ignored), averaged over starts [w1, w2] (w1 == w2: at the start w1).
// tau <= 0 gives F = 0 and S = P; tau = inf gives F = P and S = 0.
// `tolerance` bounds the relative error; quadratures draw on `budget` as
// log_integral does (wfpt_quadrature.h).
double log_cdf_fixed_drift(const LowerBoundary& m, double tau, double w1, double w2, CdfSide side,
                           double tolerance, std::size_t& budget);

// The same at one start from quadrature of the density alone (the
// fallback above, exposed so that tests can hold the closed forms to it).
double log_cdf_by_quadrature(const LowerBoundary& m, double tau, double w, CdfSide side, double tolerance,
                             std::size_t& budget);

// log_cdf_fixed_drift with the drift normal (m.v, m.sv) across trials,
// integrated numerically (Gauss-Kronrod over the drift, on pieces cut at
// the centres of the integrand's Gaussian factors); log_cdf_fixed_drift
// itself when m.sv == 0.
double log_cdf_over_drift(const LowerBoundary& m, double tau, double w1, double w2, CdfSide side,
                          double tolerance, std::size_t& budget);

// log(e^x + e^y), exact where either is -inf.
double log_add(double x, double y);

}  // namespace corvatel::internal
