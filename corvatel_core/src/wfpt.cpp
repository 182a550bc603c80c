#include "corvatel/wfpt.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace corvatel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = std::numbers::pi;

// Below this normalised time the small-time series needs fewer terms than
// the large-time one (about 1 + sqrt(9 u) pairs of exponentials against
// sqrt(7.5 / u) terms for a 1e-16 tail); at the switch each needs 2-4.
constexpr double kSeriesSwitch = 0.45;

// For u < kSeriesSwitch consecutive image pairs shrink by at least
// (5/3) e^{-4/u} < 3e-4, and for u >= kSeriesSwitch consecutive Fourier terms
// by at least 1.5 e^{-5 pi^2 u / 2} < 3e-5: a tail is at most its first
// element times this.
constexpr double kGeometricTail = 1.001;

// f0(u, w) = factor * exp(exponent): the exponential that may underflow is
// kept apart so that callers can take one logarithm of everything else.
struct SeriesValue {
  double factor;    // > 0, or <= 0 / NaN when rounding failed the sum
  double exponent;
};

// Small-time (image) series, with the k = 0 image exp(-w^2 / 2u) factored out:
//   S = w + sum_{j>=1} (w + 2j) e^{-2j(j+w)/u} + (w - 2j) e^{-2j(j-w)/u}.
// The pairs j' >= j weigh at most 2(2j+1) e^{-2j(j-w)/u} times the
// geometric factor, so the sum stops before the first pair that cannot move
// it by kSeriesTolerance.
SeriesValue small_time(double u, double w) {
  double sum = w;
  const double neg_two_over_u = -2.0 / u;
  for (int j = 1; j < 1000; ++j) {
    const double dj = j;
    const double minus = std::exp(neg_two_over_u * dj * (dj - w));
    if (2.0 * (2.0 * dj + 1.0) * minus * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) break;
    sum += (w - 2.0 * dj) * minus;
    sum += (w + 2.0 * dj) * std::exp(neg_two_over_u * dj * (dj + w));
  }
  // u^3 underflows below about 1e-103; keep u^{-3/2} in the exponent there.
  if (u < 1e-90) return {sum / std::sqrt(2.0 * kPi), -w * w / (2.0 * u) - 1.5 * std::log(u)};
  return {sum / std::sqrt(2.0 * kPi * u * u * u), -w * w / (2.0 * u)};
}

// Large-time series with the leading e^{-c} (c = pi^2 u / 2) factored out:
//   L = sum_{k>=1} k e^{-(k^2-1)c} sin(k pi w).
// The terms k' > K weigh at most (K+1) e^{-((K+1)^2-1)c} times the geometric
// factor. The exponentials and sines come from recurrences (e^{-(2k+1)c}
// steps; sin((k+1)x) = 2 cos x sin kx - sin((k-1)x)), which lose a few ulps
// over the few terms needed. x is taken from the nearer end of (0, 1)
// (1 - w is exact for w >= 1/2), so w close to 1 keeps its relative accuracy.
SeriesValue large_time(double u, double w) {
  const double c = kPi * kPi * u / 2.0;
  const bool reflected = w > 0.5;
  const double x = kPi * (reflected ? 1.0 - w : w);
  const double two_cos = 2.0 * std::cos(x);
  const double g = std::exp(-c);
  const double g2 = g * g;
  double sin_prev = 0.0;
  double sin_k = std::sin(x);
  double decay = 1.0;        // e^{-(k^2-1)c}
  double step = g2 * g;      // e^{-(2k+1)c}
  double sum = sin_k;
  for (int k = 1; k < 100000; ++k) {
    const double next_decay = decay * step;
    const double dk1 = k + 1;
    if (dk1 * next_decay * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) break;
    const double sin_next = two_cos * sin_k - sin_prev;
    sin_prev = sin_k;
    sin_k = sin_next;
    decay = next_decay;
    step *= g2;
    // sin((k+1)(pi - x)) = (-1)^k sin((k+1)x)
    const double s = (reflected && (k % 2 == 1)) ? -sin_k : sin_k;
    sum += dk1 * decay * s;
  }
  return {kPi * sum, -c};
}

SeriesValue unit_density(double u, double w) {
  const SeriesValue primary = (u < kSeriesSwitch) ? small_time(u, w) : large_time(u, w);
  if (primary.factor > 0.0 && std::isfinite(primary.factor)) return primary;
  // Rounding drove the partial sum to zero or below (only at extreme w),
  // or u^3 underflowed: the other series has neither problem there.
  return (u < kSeriesSwitch) ? large_time(u, w) : small_time(u, w);
}

// The model reduced to one boundary: the lower one, with drift and start
// reflected for the upper response, everything in units of noise_sd.
struct LowerBoundary {
  double v;       // drift
  double a;       // boundary
  double sv;      // drift sd
  double inv_a2;  // 1 / a^2
};

// log density at the lower boundary at decision time tau > 0 from relative
// start w, with sv integrated out:
//   f = exp((sv^2 a^2 w^2 - 2 v a w - v^2 tau) / (2 (1 + sv^2 tau)))
//       / (a^2 sqrt(1 + sv^2 tau)) * f0(tau / a^2, w).
double log_lower(const LowerBoundary& m, double tau, double w) {
  if (!(tau > 0.0) || std::isinf(tau)) return -kInf;
  const double u = tau * m.inv_a2;
  const SeriesValue f0 = unit_density(u, w);
  if (m.sv == 0.0) {
    return std::log(f0.factor * m.inv_a2) + (f0.exponent - m.v * m.a * w - m.v * m.v * tau / 2.0);
  }
  const double s2 = m.sv * m.sv;
  const double denom = 1.0 + s2 * tau;
  const double aw = m.a * w;
  const double exponent = (s2 * aw * aw - 2.0 * m.v * aw - m.v * m.v * tau) / (2.0 * denom);
  return std::log(f0.factor * m.inv_a2 / std::sqrt(denom)) + (f0.exponent + exponent);
}

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
constexpr KronrodRule<8> kRule15{
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
constexpr KronrodRule<4> kRule7{
    {0.960491268708020283423507092629080, 0.774596669241483377035853079956480,
     0.434243749346802558002071502844628, 0.000000000000000000000000000000000},
    {0.104656226026467265193823857192073, 0.268488089868333440728569280666710,
     0.401397414775962222905051818618432, 0.450916538658474142345110087045571},
    {0.555555555555555555555555555555556, 0.888888888888888888888888888888889}};

struct Segment {
  double lo, hi, integral, error;
};

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
// estimates are at most `tolerance` times the integral (or 200 segments).
// Values are scaled by exp(-ref), ref the largest log value seen so far, so
// that exp() stays in range wherever the density itself underflows.
template <std::size_t H, typename LogF>
double log_integral(const KronrodRule<H>& rule, const LogF& log_f, double lo, double hi, double tolerance) {
  constexpr std::size_t kMaxSegments = 200;
  std::array<Segment, kMaxSegments> segs;
  std::size_t n = 0;
  double ref = -kInf;
  const auto add = [&](std::size_t slot, double a, double b) {
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
    if (error <= tolerance * total || n == kMaxSegments) return ref + std::log(total);
    const Segment s = segs[worst];
    const double m = 0.5 * (s.lo + s.hi);
    segs[worst] = {s.lo, m, 0.0, 0.0};  // refilled next; counts nothing meanwhile
    add(n++, m, s.hi);
    add(worst, s.lo, m);
  }
}

// The variabilities' integrals. integrate(log_f, lo, hi, share) is the log
// of the integral of exp(log_f) over [lo, hi]; `share` is the part of the
// error budget it may spend (the inner sz integral's errors add up in st).
template <typename Integrate>
double log_density_with(const Integrate& integrate, double rt, const DensityParams& p, const LowerBoundary& m,
                        double w) {
  // Mean over the start distribution at decision time tau.
  const auto log_over_start = [&](double tau) {
    if (p.sz == 0.0) return log_lower(m, tau, w);
    const auto at = [&](double ww) { return log_lower(m, tau, ww); };
    return integrate(at, w - p.sz / 2.0, w + p.sz / 2.0, 0.25) - std::log(p.sz);
  };
  if (p.st == 0.0) return log_over_start(rt - p.t0);
  const double tau_lo = std::max(0.0, rt - p.t0 - p.st / 2.0);
  const double tau_hi = rt - (p.t0 - p.st / 2.0);
  return integrate(log_over_start, tau_lo, tau_hi, 1.0) - std::log(p.st);
}

// Gauss-Legendre abscissae (non-negative, largest first, 0 last) and weights
// on [-1, 1], 5 points: exact to degree 9.
constexpr std::array<double, 3> kLegendre5X{0.906179845938663992797626878299393, 0.538469310105683091036314420700208,
                                            0.0};
constexpr std::array<double, 3> kLegendre5W{0.236926885056189087514264040719918, 0.478628670499366468041291514835639,
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
  for (std::size_t i = 0; i < 2; ++i) sum += kLegendre5W[i] * (std::exp(logs[2 * i] - ref) + std::exp(logs[2 * i + 1] - ref));
  return ref + std::log(sum * half);
}

// The model at the lower boundary for the response `choice` (drift and start
// reflected for the upper one), in units of noise_sd, and the relative start.
struct Reduced {
  LowerBoundary m;
  double w;
};

Reduced reduce(bool choice, const DensityParams& p) {
  LowerBoundary m{p.drift / p.noise_sd, p.boundary / p.noise_sd, p.sv / p.noise_sd, 0.0};
  m.inv_a2 = 1.0 / (m.a * m.a);
  if (choice) return {{-m.v, m.a, m.sv, m.inv_a2}, 1.0 - p.start};
  return {m, p.start};
}

}  // namespace

const char* DensityParamError::argument() const {
  switch (kind_) {
    case Kind::Rt: return "rt";
    case Kind::Drift: return "drift";
    case Kind::Boundary: return "boundary";
    case Kind::Start: return "start";
    case Kind::T0: return "t0";
    case Kind::NoiseSd: return "noise_sd";
    case Kind::Sv: return "sv";
    case Kind::Sz:
    case Kind::SzRange: return "sz";
    case Kind::St:
    case Kind::StRange: return "st";
  }
  return "";
}

std::string DensityParamError::message() const {
  switch (kind_) {
    case Kind::Rt: return "rt must not be NaN";
    case Kind::Drift: return "drift must be finite";
    case Kind::Boundary: return "boundary must be > 0 and finite";
    case Kind::Start: return "start must be strictly between 0 and 1";
    case Kind::T0: return "t0 must be >= 0 and finite";
    case Kind::NoiseSd: return "noise_sd must be > 0 and finite";
    case Kind::Sv: return "sv must be >= 0 and finite";
    case Kind::Sz: return "sz must be >= 0 and finite";
    case Kind::SzRange: return "sz must keep start - sz/2 and start + sz/2 strictly between 0 and 1";
    case Kind::St: return "st must be >= 0 and finite";
    case Kind::StRange: return "st must be at most 2 * t0";
  }
  return "";
}

std::optional<DensityParamError> check_density_args(double rt, const DensityParams& p) {
  using K = DensityParamError::Kind;
  if (std::isnan(rt)) return DensityParamError(K::Rt);
  if (!std::isfinite(p.drift)) return DensityParamError(K::Drift);
  if (!(p.boundary > 0.0 && std::isfinite(p.boundary))) return DensityParamError(K::Boundary);
  if (!(p.start > 0.0 && p.start < 1.0)) return DensityParamError(K::Start);
  if (!(p.t0 >= 0.0 && std::isfinite(p.t0))) return DensityParamError(K::T0);
  if (!(p.noise_sd > 0.0 && std::isfinite(p.noise_sd))) return DensityParamError(K::NoiseSd);
  if (!(p.sv >= 0.0 && std::isfinite(p.sv))) return DensityParamError(K::Sv);
  if (!(p.sz >= 0.0 && std::isfinite(p.sz))) return DensityParamError(K::Sz);
  if (!(p.start - p.sz / 2.0 > 0.0 && p.start + p.sz / 2.0 < 1.0)) return DensityParamError(K::SzRange);
  if (!(p.st >= 0.0 && std::isfinite(p.st))) return DensityParamError(K::St);
  if (!(p.st <= 2.0 * p.t0)) return DensityParamError(K::StRange);
  return std::nullopt;
}

double log_unit_density(double u, double w) {
  const SeriesValue f0 = unit_density(u, w);
  return std::log(f0.factor) + f0.exponent;
}

double upper_probability(double drift, double boundary, double start, double noise_sd) {
  const double x = 2.0 * (drift / noise_sd) * (boundary / noise_sd);
  if (x == 0.0) return start;
  const double z = x * start;
  // (1 - e^{-z}) / (1 - e^{-x}), rewritten for x < 0 so nothing overflows.
  if (x > 0.0) return std::expm1(-z) / std::expm1(-x);
  return std::exp(x - z) * std::expm1(z) / std::expm1(x);
}

double wfpt_log_density(double rt, bool choice, const DensityParams& p, double tolerance) {
  if (std::isinf(rt)) return -kInf;
  const double lower_edge = p.t0 - p.st / 2.0;
  if (!(rt > lower_edge)) return -kInf;
  const auto [m, w] = reduce(choice, p);
  if (p.sz == 0.0 && p.st == 0.0) return log_lower(m, rt - p.t0, w);
  const auto with_rule = [&](const auto& rule) {
    const auto integrate = [&](const auto& log_f, double lo, double hi, double share) {
      return log_integral(rule, log_f, lo, hi, tolerance * share);
    };
    return log_density_with(integrate, rt, p, m, w);
  };
  if (tolerance >= kLowOrderTolerance) return with_rule(kRule7);
  return with_rule(kRule15);
}

double wfpt_log_density_search(double rt, bool choice, const DensityParams& p) {
  if (std::isinf(rt)) return -kInf;
  if (!(rt > p.t0 - p.st / 2.0)) return -kInf;
  const auto [m, w] = reduce(choice, p);
  const auto integrate = [](const auto& log_f, double lo, double hi, double) { return log_legendre5(log_f, lo, hi); };
  return log_density_with(integrate, rt, p, m, w);
}

}  // namespace corvatel
