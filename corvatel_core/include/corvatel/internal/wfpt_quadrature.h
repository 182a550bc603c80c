// Quadrature of functions given by their logarithm, for the densities'
// averages over the start (sz) and the non-decision time (st) where no
// closed form is accurate: globally adaptive Gauss-Kronrod (7/15 and 3/7
// points; Piessens et al., QUADPACK, 1983, whose qag strategy this
// follows), and a fixed 5-point Gauss-Legendre rule for the optimisers'
// smooth search density. Internal to the core: callers use wfpt.h.
//
// Values are scaled by the largest logarithm seen so far, so that an
// integrand far below the smallest double still has an exact logarithm.
// Templates over the integrand, so that each call inlines its lambda.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "corvatel/internal/wfpt_special.h"

namespace corvatel::internal {

// A Gauss-Kronrod pair on [-1, 1]: the non-negative Kronrod abscissae
// (largest first, 0 last) and weights, and the Gauss weights, which belong to
// the odd-numbered abscissae.
template <std::size_t H>
struct KronrodRule {
  std::array<double, H> x;
  std::array<double, H> wk;
  std::array<double, H / 2> wg;
};

// 7/15 points (degree 22 exact for K15).
inline constexpr KronrodRule<8> kRule15{
    {0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
     0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
     0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
     0.207784955007898467600689403773245, 0.000000000000000000000000000000000},
    {0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
     0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
     0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
     0.204432940075298892414161999234649, 0.209482141084727828012999174891714},
    {0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
     0.381830050505118944950369775488975, 0.417959183673469387755102040816327}};

// 3/7 points (degree 11 exact for K7): for the looser tolerances of the
// fits, where nested sz/st integrals cost 7 x 7 instead of 15 x 15 values.
inline constexpr KronrodRule<4> kRule7{
    {0.960491268708020283423507092629080, 0.774596669241483377035853079956480,
     0.434243749346802558002071502844628, 0.000000000000000000000000000000000},
    {0.104656226026467265193823857192073, 0.268488089868333440728569280666710,
     0.401397414775962222905051818618432, 0.450916538658474142345110087045571},
    {0.555555555555555555555555555555556, 0.888888888888888888888888888888889}};

struct Segment {
  double lo, hi, integral, error;
};

// A segment this narrow relative to its position (64 ulps) is not halved:
// its nodes would round onto each other, and its halves' largest value onto
// a point the parent never had.
inline constexpr double kNarrowestSegment = 0x1p-46;

// log_f at the 2H - 1 abscissae of [lo, hi]: pairs mid -+ dx, then mid.
template <std::size_t H, typename LogF>
std::array<double, 2 * H - 1> kronrod_logs(const KronrodRule<H>& rule, const LogF& log_f, double lo, double hi) {
  const double half = 0.5 * (hi - lo);
  const double mid = 0.5 * (hi + lo);
  std::array<double, 2 * H - 1> out;
  for (std::size_t i = 0; i + 1 < H; ++i) {
    const double dx = half * rule.x[i];
    out[2 * i] = log_f(mid - dx);
    out[2 * i + 1] = log_f(mid + dx);
  }
  out[2 * H - 2] = log_f(mid);
  return out;
}

// The Kronrod sum and the error estimate |K - G| on [lo, hi] for
// exp(log_f - ref), from the values kronrod_logs gave.
template <std::size_t H>
Segment kronrod(const KronrodRule<H>& rule, const std::array<double, 2 * H - 1>& logs, double lo, double hi,
                double ref) {
  const double half = 0.5 * (hi - lo);
  double k = 0.0;
  double g = 0.0;
  for (std::size_t i = 0; i < H; ++i) {
    const double f = (i + 1 == H) ? std::exp(logs[2 * H - 2] - ref)
                                  : std::exp(logs[2 * i] - ref) + std::exp(logs[2 * i + 1] - ref);
    k += rule.wk[i] * f;
    if (i % 2 == 1) g += rule.wg[i / 2] * f;
  }
  return {lo, hi, k * half, std::fabs(k - g) * half};
}

// log of the integral of exp(log_f) over [lo, hi], globally adaptive: the
// segment with the largest error estimate is halved until the summed
// estimates are at most `tolerance` times the integral (or what the
// integrand's logarithm allows, attainable()), or there are 200 segments,
// or `budget` is spent: each segment evaluated takes one from it (the
// first is evaluated even when none is left), and nested integrals share
// one budget, so that the work of one density is bounded. A segment too
// narrow to halve in doubles (kNarrowestSegment) stays as it is. Values are scaled by
// exp(-ref), ref the largest log value seen so far, so that exp() stays in
// range wherever the density itself underflows.
template <std::size_t H, typename LogF>
double log_integral(const KronrodRule<H>& rule, const LogF& log_f, double lo, double hi, double tolerance,
                    std::size_t& budget) {
  constexpr std::size_t kMaxSegments = 200;
  std::array<Segment, kMaxSegments> segs;
  std::size_t n = 0;
  double ref = -kInf;
  const auto add = [&](std::size_t slot, double a, double b) {
    if (budget > 0) --budget;
    const auto logs = kronrod_logs(rule, log_f, a, b);
    const double top = *std::max_element(logs.begin(), logs.end());
    if (top > ref) {
      const double rescale = std::exp(ref - top);  // 0 on the first segment
      for (std::size_t i = 0; i < n; ++i) {
        if (i == slot) continue;
        segs[i].integral *= rescale;
        segs[i].error *= rescale;
      }
      ref = top;
    }
    segs[slot] = kronrod(rule, logs, a, b, ref);
  };
  add(n++, lo, hi);
  if (!(ref > -kInf)) return -kInf;
  for (;;) {
    double total = 0.0;
    double error = 0.0;
    std::size_t worst = 0;
    for (std::size_t i = 0; i < n; ++i) {
      total += segs[i].integral;
      error += segs[i].error;
      if (segs[i].error > segs[worst].error) worst = i;
    }
    if (error <= attainable(tolerance, ref) * total || n == kMaxSegments || budget == 0) {
      return ref + std::log(total);
    }
    const Segment s = segs[worst];
    if (!(s.error > 0.0)) return ref + std::log(total);  // NaN values: nothing to refine
    if (!(s.hi - s.lo > kNarrowestSegment * std::max(std::fabs(s.lo), std::fabs(s.hi)))) {
      segs[worst].error = 0.0;  // its estimate is as good as doubles make it
      continue;
    }
    const double m = 0.5 * (s.lo + s.hi);
    segs[worst] = {s.lo, m, 0.0, 0.0};  // refilled next; counts nothing meanwhile
    add(n++, m, s.hi);
    add(worst, s.lo, m);
    if (segs[worst].integral == 0.0 && segs[n - 1].integral == 0.0 && s.integral > 0.0) {
      // Every value of the halves rounded below e^{-745} of the largest seen
      // (an integrand steeper than its log's own ulps, whose nodes shift by
      // whole ulps of w): the halves lost the parent's mass, which stays.
      --n;
      segs[worst] = {s.lo, s.hi, s.integral, 0.0};
    }
  }
}

// Gauss-Legendre abscissae (non-negative, largest first, 0 last) and weights
// on [-1, 1], 5 points: exact to degree 9.
inline constexpr std::array<double, 3> kLegendre5X{0.906179845938663992797626878299393,
                                                   0.538469310105683091036314420700208, 0.0};
inline constexpr std::array<double, 3> kLegendre5W{0.236926885056189087514264040719918,
                                                   0.478628670499366468041291514835639,
                                                   0.568888888888888888888888888888889};

// log of the 5-point Gauss-Legendre sum of exp(log_f) over [lo, hi], scaled
// by its largest value so that exp() stays in range.
template <typename LogF>
double log_legendre5(const LogF& log_f, double lo, double hi) {
  const double half = 0.5 * (hi - lo);
  const double mid = 0.5 * (hi + lo);
  std::array<double, 5> logs;
  for (std::size_t i = 0; i < 2; ++i) {
    const double dx = half * kLegendre5X[i];
    logs[2 * i] = log_f(mid - dx);
    logs[2 * i + 1] = log_f(mid + dx);
  }
  logs[4] = log_f(mid);
  const double ref = *std::max_element(logs.begin(), logs.end());
  if (!(ref > -kInf)) return -kInf;
  double sum = kLegendre5W[2] * std::exp(logs[4] - ref);
  for (std::size_t i = 0; i < 2; ++i) {
    sum += kLegendre5W[i] * (std::exp(logs[2 * i] - ref) + std::exp(logs[2 * i + 1] - ref));
  }
  return ref + std::log(sum * half);
}

}  // namespace corvatel::internal
