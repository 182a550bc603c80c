// The first-passage distribution function (wfpt_log_cdf in wfpt.h) and its
// complement within a response, S = P(c) - F, both as logarithms.
//
// Four parameters: F(tau) is the density's integral over [0, tau] and S(tau)
// its integral over [tau, inf), each in closed form (log_closed_over_time,
// wfpt_over_time.cpp): below the series switch (u = tau / a^2 < 0.45) image
// j of the small-time series contributes its one-barrier first-passage
// distribution function, e^{2 v a j} [Phi(-z) + e^{-2 v c} Phi(-y)]; above it
// Fourier term k contributes (pi / a^2) k sin(k pi w) e^{-v a w} e^{-lambda_k s}
// / lambda_k at the ends s of the range, lambda_k = v^2/2 + k^2 pi^2 / 2a^2
// (so S(tau) at large tau is that sum at tau, and P = S(0) = F(inf)). Each
// series stops when a bound on its remaining terms falls below 1e-2 of the
// tolerance (and 1e-15) of the partial sum, and the whole carries a bound on
// its own rounding. Where that bound exceeds the tolerance, one start falls
// back to adaptive Gauss-Kronrod (7/15) quadrature of the density over
// [0, T], T = 2 a^2, on pieces cut geometrically towards 0, and beyond T to
// the first Fourier mode alone, S(s) = f(s) / lambda_1 (the others are below
// 4 e^{-3 pi^2} < 1e-12 of it there).
//
// sz (sv = 0): the same closed forms integrate over a window of starts (the
// images' antiderivatives in c, the Fourier terms' ExpSinIntegral); where
// they do not vouch for their rounding (a drift next to 0), quadrature over
// the start of the one-start values. sv: Gauss-Kronrod over the drift of
// the normal weight times the sv = 0 value, on pieces cut at the centres of
// the integrand's Gaussian factors, over 12 sv beyond them. st: the mean of
// F (or S) over the window of decision times, by Gauss-Kronrod; S is P
// where the window reaches below 0. Each quadrature is refined until its
// summed |K15 - G7| estimates are below the tolerance of the integral, with
// a quarter of it left to the nested values, and all draw on one budget of
// kCdfBudget segments, so that the work of one value is bounded.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_cdf.h"
#include "corvatel/internal/wfpt_quadrature.h"
#include "corvatel/internal/wfpt_special.h"
#include "corvatel/wfpt.h"

namespace corvatel {

namespace internal {

namespace {

// Quadrature segments one value may evaluate, nested integrals included
// (as the density's kQuadratureBudget); the four-parameter and sz values
// use none, and those with sv some tens.
constexpr std::size_t kCdfBudget = 4096;

// An S whose quadrature ran out of budget is P - F where S >= P / 1000.
const double kLogWorstCancellation = std::log(1e-3);

// The fallback's pieces shrink by this factor towards 0, down to
// T / 4^kGeometricPieces, so that the first nodes see a peak at early times.
constexpr int kGeometricPieces = 12;

// Integral of exp(log_f) over [lo, hi] on pieces cut at T / 4^k.
template <typename LogF>
double log_integral_towards_zero(const LogF& log_f, double lo, double hi, double top, double tolerance,
                                 std::size_t& budget) {
  double sum = -kInf;
  double upper = hi;
  for (int k = 0; k <= kGeometricPieces && upper > lo; ++k) {
    const double cut = k == kGeometricPieces ? lo : std::max(lo, std::ldexp(top, -2 * (k + 1)));
    if (cut < upper) sum = log_add(sum, log_integral(kRule15, log_f, cut, upper, tolerance, budget));
    upper = std::min(upper, cut);
  }
  return sum;
}

}  // namespace

double log_add(double x, double y) {
  if (x < y) std::swap(x, y);
  if (!(y > -kInf)) return x;
  return x + std::log1p(std::exp(y - x));
}

double log_cdf_by_quadrature(const LowerBoundary& m, double tau, double w, CdfSide side, double tolerance,
                             std::size_t& budget) {
  const LowerBoundary fixed{m.v, m.a, 0.0, m.inv_a2};
  const double far = 1.0 - w;
  const auto density = [&](double s) { return log_lower(fixed, s, w, far); };
  const double tail_from = 2.0 / m.inv_a2;  // u = 2
  const double lambda1 = 0.5 * m.v * m.v + 0.5 * kPi * kPi * m.inv_a2;
  const auto log_tail = [&](double s) { return density(s) - std::log(lambda1); };
  if (side == CdfSide::Below) {
    if (!(tau > 0.0)) return -kInf;
    const double head = log_integral_towards_zero(density, 0.0, std::min(tau, tail_from), tail_from, tolerance,
                                                  budget);
    if (tau <= tail_from) return head;
    // F(tau) - F(T) = S(T) - S(tau) = S(T) (1 - e^{-lambda_1 (tau - T)})
    return log_add(head, log_tail(tail_from) + std::log(-std::expm1(-lambda1 * (tau - tail_from))));
  }
  if (std::isinf(tau)) return -kInf;
  const double from = std::max(tau, 0.0);
  if (from >= tail_from) return log_tail(from);
  return log_add(log_integral_towards_zero(density, from, tail_from, tail_from, tolerance, budget),
                 log_tail(tail_from));
}

double log_cdf_fixed_drift(const LowerBoundary& m, double tau, double w1, double w2, CdfSide side,
                           double tolerance, std::size_t& budget) {
  const bool above = side == CdfSide::Above;
  if (std::isnan(tau)) return tau;
  if (!(tau > 0.0)) {
    if (!above) return -kInf;
    tau = 0.0;  // S(0) = P
  }
  if (above && std::isinf(tau)) return -kInf;
  const LowerBoundary fixed{m.v, m.a, 0.0, m.inv_a2};
  const double s1 = above ? tau : 0.0;
  const double s2 = above ? kInf : tau;
  if (const auto closed = log_closed_over_time(fixed, s1, s2, w1, w2, tolerance)) return *closed;
  if (w2 > w1) {
    const auto at = [&](double w) { return log_cdf_fixed_drift(fixed, tau, w, w, side, 0.25 * tolerance, budget); };
    return log_integral(kRule15, at, w1, w2, tolerance, budget) - std::log(w2 - w1);
  }
  return log_cdf_by_quadrature(fixed, tau, w1, side, tolerance, budget);
}

double log_cdf_over_drift(const LowerBoundary& m, double tau, double w1, double w2, CdfSide side,
                          double tolerance, std::size_t& budget) {
  if (std::isnan(tau)) return tau;
  if (side == CdfSide::Above && !(tau > 0.0)) {
    side = CdfSide::Below;  // S(0) = P = F(inf), computed one way
    tau = kInf;
  }
  if (m.sv == 0.0) return log_cdf_fixed_drift(m, tau, w1, w2, side, tolerance, budget);
  const bool above = side == CdfSide::Above;
  if ((!above && !(tau > 0.0)) || (above && tau == kInf)) return -kInf;
  // At decision time s the density's drift factor e^{-nu a w - nu^2 s / 2}
  // times the normal weight is a Gaussian in nu of precision 1/sv^2 + s
  // centred at (v/sv^2 - a w) / (1/sv^2 + s): F collects s in (0, tau], S
  // s in [tau, inf), so the centres run from v - a w sv^2 (s = 0) to
  // that at tau, and towards 0 for S; P (the whole of either) changes
  // fastest about nu = 0. The weight of F and P grows towards smaller nu
  // at most like e^{-2 nu a w}: 2 a w sv^2 below v, the normal's is back.
  // The integral runs over x = (nu - v) / sv, whose nodes and standard
  // normal weight are exact however small sv is: over nu, a spread of a
  // few units in the last place of v would round the nodes onto one
  // another (and below 1e-16 v onto v, an empty range).
  const double sv = m.sv;
  const double aw = m.a * 0.5 * (w1 + w2);
  const double s = std::max(tau, 0.0);
  // sv^2 times the precision, and the centre at tau in x (for tau = inf,
  // -v / sv: drift 0; written so that neither a tiny sv nor a long tau
  // makes 0 * inf of it).
  const double stretch = std::isinf(s) ? kInf : 1.0 + sv * sv * s;
  const double centre = std::isinf(s) ? -m.v / sv
                        : s > 1.0     ? -(aw / s + m.v) * sv / (1.0 / s + sv * sv)
                                      : -(aw + m.v * s) * sv / stretch;
  const double width = 1.0 / std::sqrt(stretch);
  // F is at most P, whose weighted values lie within 12 of the peak of
  // that bound's Gaussian (x = -2 a w sv) or of 0; only S reaches out to
  // the centre (late in the tail, drifts near 0 outlast the others). For P
  // itself (tau = inf) the centre is the far-off x = -v / sv.
  const double reach = above ? centre : 0.0;
  const double lo = std::min(-2.0 * aw * sv, reach) - 12.0;
  const double hi = std::max(0.0, reach) + 12.0;
  const double focus = std::clamp(centre, lo, hi);
  std::array<double, 9> cuts = {lo,
                                -2.0 * aw * sv,
                                -aw * sv,
                                0.0,
                                centre - 3.0 * width,
                                centre,
                                centre + 3.0 * width,
                                -m.v / sv,
                                hi};
  std::sort(cuts.begin(), cuts.end());
  // F and S are at most 1: a drift whose weight alone is e^-60 below the
  // largest term seen so far adds nothing, and is not computed (far out in
  // the weight's tails the closed forms may fail and their fallback would
  // spend the budget on nothing).
  double largest = -kInf;
  const auto at = [&](double x) {
    const double log_weight = log_phi(x);
    if (log_weight < largest - 60.0) return -kInf;
    // A value no larger than its weight needs only the relative accuracy
    // that keeps its share of the integral's error.
    const double share = std::exp(std::min(0.0, log_weight - largest));
    const double node_tolerance = std::min(kMaxRelativeError, 0.25 * tolerance / share);
    const LowerBoundary drift{m.v + sv * x, m.a, 0.0, m.inv_a2};
    const double value = log_weight + log_cdf_fixed_drift(drift, tau, w1, w2, side, node_tolerance, budget);
    largest = std::max(largest, value);
    return value;
  };
  // The pieces nearest the centre first, so that `largest` is set early.
  std::array<std::size_t, cuts.size() - 1> order;
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto distance = [&](std::size_t i) { return std::fabs(0.5 * (cuts[i] + cuts[i + 1]) - focus); };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return distance(i) < distance(j); });
  double sum = -kInf;
  for (const std::size_t i : order) {
    const double a = std::max(cuts[i], lo);
    const double b = std::min(cuts[i + 1], hi);
    if (b > a) sum = log_add(sum, log_integral(kRule15, at, a, b, tolerance, budget));
  }
  return sum;
}

namespace {

// log(e^a - e^b) for a >= b; -inf when they are equal.
double log_sub(double a, double b) {
  if (!(a > b)) return -kInf;
  return a + std::log1p(-std::exp(b - a));
}

// F or S (side) at rt, drawing on `budget`.
double log_cdf_within(double rt, bool choice, const ModelParams& p, CdfSide side, double tolerance,
                      std::size_t& budget) {
  if (std::isnan(rt)) return rt;
  const bool above = side == CdfSide::Above;
  const Reduced r = reduce(choice, p);
  // A start window narrower than the doubles' spacing at its centre is none.
  double w1 = r.w - p.sz / 2.0;
  double w2 = r.w + p.sz / 2.0;
  if (!(w2 > w1)) w1 = w2 = r.w;
  // The window of decision times, rounded as the density rounds it.
  const double window_lo = rt - p.t0 - p.st / 2.0;
  const double tau_hi = rt - (p.t0 - p.st / 2.0);
  const bool over_time = tau_hi > window_lo;
  // The same for every rt, so that P comes out the same at both ends.
  const double inner = p.st > 0.0 ? 0.25 * tolerance : tolerance;
  const auto at = [&](double tau) { return log_cdf_over_drift(r.m, tau, w1, w2, side, inner, budget); };
  if (rt == kInf) return above ? -kInf : at(kInf);
  if (!over_time) return at(rt - p.t0);
  if (!(tau_hi > 0.0)) return above ? at(0.0) : -kInf;
  // F and S change most where the first passages happen, which may be far
  // earlier than the window is wide (the nodes of one segment would step
  // over them): the window is cut at 4^k times the shortest passage times'
  // scale, (a w)^2 for diffusion and a w / |v| for drift (from the
  // window's 4^-12 on: 13 pieces at most).
  const double near = r.m.a * w1;
  const double speed = std::fabs(r.m.v) + 3.0 * r.m.sv;
  const double earliest = std::min(near * near, near / speed) / 16.0;
  // S is P where the window reaches below 0 (first, while the budget is whole).
  double sum = above && window_lo < 0.0 ? at(0.0) + std::log(-window_lo) : -kInf;
  for (double cut = std::max(earliest, std::ldexp(tau_hi, -24)), from = std::max(0.0, window_lo); from < tau_hi;
       cut *= 4.0) {
    const double to = std::min(tau_hi, std::max(cut, from));
    if (to > from) {
      sum = log_add(sum, log_integral(kRule15, at, from, to, tolerance, budget));
    }
    from = to;
  }
  return sum - std::log(tau_hi - window_lo);
}

}  // namespace

}  // namespace internal

double wfpt_log_cdf(double rt, bool choice, const ModelParams& p, CdfSide side, double tolerance) {
  std::size_t budget = internal::kCdfBudget;
  const double value = internal::log_cdf_within(rt, choice, p, side, tolerance, budget);
  if (side == CdfSide::Below || budget > 0) return value;
  // S's quadrature spent its budget before it converged (with a wide sv and
  // boundary the closed forms over time fail for many drifts, each of which
  // then integrates the density; the estimate so far was off by up to 0.2%).
  // F and P converge far sooner, and P - F is within their tolerance of S:
  // taken where S is at least a thousandth of P, so that the subtraction
  // costs at most three digits of it.
  const double all = wfpt_log_cdf(internal::kInf, choice, p, CdfSide::Below, tolerance);
  const double complement = internal::log_sub(all, wfpt_log_cdf(rt, choice, p, CdfSide::Below, tolerance));
  return complement >= all + internal::kLogWorstCancellation ? complement : value;
}

namespace {

// Past the start of the non-decision times' window by this much (seconds),
// F(lo) is cheaper than S(lo); before it F is a sliver of the window's
// rise, the slowest of its quadratures, and S is all but P.
constexpr double kFOverSAfter = 0.01;

}  // namespace

double wfpt_log_window_probability(const ModelParams& p, double lo, double hi, const OutlierWindow& outlier_window,
                                   double tolerance) {
  // The responses' mass in the window as 1 - F(lo) - S(hi) over both
  // responses (they end at one or the other), from the side of each end
  // that is cheap there, where that mass is at least 1/2 (so that the
  // subtraction costs at most a bit); else, and where lo is near the
  // distribution's start, as S(lo) - S(hi) per response: accurate where
  // the window is a tail, and S(inf) = 0 without a subtraction. With sv,
  // sz and st a value of S before the bulk of the distribution costs 2-4
  // times F's.
  double diffusion = -internal::kInf;
  if (lo > p.t0 - p.st / 2.0 + kFOverSAfter) {
    double outside = -internal::kInf;
    for (const bool choice : {false, true}) {
      outside = internal::log_add(outside, wfpt_log_cdf(lo, choice, p, CdfSide::Below, tolerance));
      outside = internal::log_add(outside, wfpt_log_cdf(hi, choice, p, CdfSide::Above, tolerance));
    }
    if (outside <= -std::numbers::ln2) diffusion = std::log1p(-std::exp(outside));
  }
  if (diffusion == -internal::kInf) {
    for (const bool choice : {false, true}) {
      const double from = wfpt_log_cdf(lo, choice, p, CdfSide::Above, tolerance);
      const double to = wfpt_log_cdf(hi, choice, p, CdfSide::Above, tolerance);
      diffusion = internal::log_add(diffusion, internal::log_sub(from, to));
    }
  }
  return log_window_mixture(diffusion, p.p_outlier, lo, hi, outlier_window);
}

double log_window_mixture(double log_diffusion, double p_outlier, double lo, double hi,
                          const OutlierWindow& outlier_window) {
  if (p_outlier == 0.0) return log_diffusion;
  const double overlap = std::min(hi, outlier_window.hi) - std::max(lo, outlier_window.lo);
  const double contaminant = overlap > 0.0 ? p_outlier * overlap / (outlier_window.hi - outlier_window.lo) : 0.0;
  return internal::log_add(std::log1p(-p_outlier) + log_diffusion, std::log(contaminant));
}

}  // namespace corvatel
