// The density at one start and one decision time (wfpt_series.h): the two
// series of the zero-drift unit density, each with its tail bound, and the
// drift and sv factors that carry it to the model's scales.
#include "corvatel/internal/wfpt_series.h"

#include <algorithm>
#include <cmath>

#include "corvatel/internal/wfpt_special.h"
#include "corvatel/wfpt.h"

namespace corvatel::internal {

namespace {

// u^3 underflows below about 1e-103; keep u^{-3/2} in the exponent there.
constexpr double kTinyTime = 1e-90;

// The plain route of log_lower adds exponents whose magnitudes sum to
// `parts`, and so errs by a few ulps of parts. It is taken where that stays
// within a few ulps of the exponent itself (parts <= 8 |exponent|: the
// quadrature's error targets count on that, kLogUlps), or where parts is
// below 2^16 and cancels by at most 4096 (so that the error stays below
// 1e-12 relative for exponents near 1). The densities of the ordinary ranges
// (boundary and |drift| up to 10, sv up to 3) cancel by at most about 160,
// and by at most 8 where parts exceeds 700.
constexpr double kPlainNoCancellation = 8.0;
constexpr double kPlainSmallParts = 65536.0;
constexpr double kPlainMaxCancellation = 4096.0;

// Small-time (image) series, with the k = 0 image exp(-w^2 / 2u) factored out:
//   S = w + sum_{j>=1} (w + 2j) e^{-2j(j+w)/u} + (w - 2j) e^{-2j(j-w)/u}.
// The pairs j' >= j weigh at most 2(2j+1) e^{-2j(j-w)/u} times the
// geometric factor, so the sum stops before the first pair that cannot move
// it by kSeriesTolerance. Next to the near boundary the two images of a pair
// cancel to O(w); with x = 2jw/u < 1 the pair is written there as
//   2 e^{-2j^2/u} (w cosh x - 2j sinh x),
// whose parts differ by at least a factor 4j^2/u - 1 > 7.
double image_sum(double u, double w) {
  double sum = w;
  const double neg_two_over_u = -2.0 / u;
  const bool near = w < kFarEdge;
  for (int j = 1; j < 1000; ++j) {
    const double dj = j;
    const double minus = std::exp(neg_two_over_u * dj * (dj - w));
    if (2.0 * (2.0 * dj + 1.0) * minus * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) break;
    if (near) {
      const double x = 2.0 * dj * w / u;
      if (x < 1.0) {
        sum += 2.0 * std::exp(neg_two_over_u * dj * dj) * (w * std::cosh(x) - 2.0 * dj * std::sinh(x));
        continue;
      }
    }
    sum += (w - 2.0 * dj) * minus;
    sum += (w + 2.0 * dj) * std::exp(neg_two_over_u * dj * (dj + w));
  }
  return sum;
}

// The same sum for w next to the far boundary, where the images on either
// side of it cancel (the first pair by about u / (2 far)) and 1 - w may not
// be exact (`far` is). With m = 2k + 1
// and x = 2 m far / u, images k and -(k + 1) sum to e^{-w^2 / 2u} times
//   e^{-(m^2 - 1) / 2u + (m - 1) far / u} [m (1 - e^{-x}) - far (1 + e^{-x})],
// whose parts differ by at least a factor m^2 / u > 2 (1 - e^{-x} from
// expm1). Consecutive pairs shrink by at least 3 e^{-4 / u} < 1e-3 here.
double image_sum_from_far_side(double u, double far) {
  double sum = 0.0;
  for (int k = 0; k < 1000; ++k) {
    const double m = 2.0 * k + 1.0;
    const double decay = k == 0 ? 1.0 : std::exp((m - 1.0) * (far - 0.5 * (m + 1.0)) / u);
    if (k > 0 && m * decay * kGeometricTail <= kSeriesTolerance * sum) break;
    const double x = -2.0 * m * far / u;
    sum += decay * (m * -std::expm1(x) - far * (1.0 + std::exp(x)));
  }
  return sum;
}

SeriesValue small_time(double u, double w, double far) {
  const double sum = far < kFarEdge ? image_sum_from_far_side(u, far) : image_sum(u, w);
  if (u < kTinyTime) return {sum / std::sqrt(2.0 * kPi), -w * w / (2.0 * u) - 1.5 * std::log(u)};
  return {sum / std::sqrt(2.0 * kPi * u * u * u), -w * w / (2.0 * u)};
}

// Large-time series with the leading e^{-c} (c = pi^2 u / 2) factored out:
//   L = sum_{k>=1} k e^{-(k^2-1)c} sin(k pi w).
// The terms k' > K weigh at most (K+1) e^{-((K+1)^2-1)c} times the geometric
// factor. The exponentials and sines come from recurrences (e^{-(2k+1)c}
// steps; sin((k+1)x) = 2 cos x sin kx - sin((k-1)x)), which lose a few ulps
// over the few terms needed. x is taken from the nearer end of (0, 1)
// (1 - w is exact for w >= 1/2, and `far` is taken next to the far end), so
// w close to 1 keeps its relative accuracy.
SeriesValue large_time(double u, double w, double far) {
  const double c = kPi * kPi * u / 2.0;
  const bool reflected = w > 0.5;
  const double x = kPi * (reflected ? (far < kFarEdge ? far : 1.0 - w) : w);
  const double two_cos = 2.0 * std::cos(x);
  const double g = std::exp(-c);
  const double g2 = g * g;
  double sin_prev = 0.0;
  double sin_k = std::sin(x);
  double decay = 1.0;    // e^{-(k^2-1)c}
  double step = g2 * g;  // e^{-(2k+1)c}
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

// log_lower where its plain route fails: every factor as a logarithm, so
// that nothing over- or underflows, and the exponents that cancel combined
// in one square. With D = 1 + sv^2 tau,
//   -w^2 / (2u) + (sv^2 a^2 w^2 - 2 v a w - v^2 tau) / (2D) = -y^2 / 2,
//   y = (a w + v tau) / sqrt(tau D) = a w / hypot(sqrt tau, sv tau) + v / hypot(1 / sqrt tau, sv),
// which holds every term below the scales of the result. The large-time
// series has no -w^2 / (2u) of its own: it gets w^2 / (2u) <= 1.1 back.
// Where rounding gave the plain route's u = tau / a^2 as 0 or infinite, the
// logarithm of u here comes from those of tau and a.
double log_lower_robust(const LowerBoundary& m, double tau, double w, double far) {
  const double log_a = std::log(m.a);
  const double log_u = std::log(tau) - 2.0 * log_a;
  const double u = (tau / m.a) / m.a;
  // unit_density's choice of series, with which one served: the small-time
  // series' exponent is -w^2 / (2u), less 1.5 log u below kTinyTime; the
  // large-time one's -pi^2 u / 2.
  bool images = u < kSeriesSwitch;
  SeriesValue f0 = images ? small_time(u, w, far) : large_time(u, w, far);
  if (!(f0.factor > 0.0 && std::isfinite(f0.factor))) {
    images = !images;
    f0 = images ? small_time(u, w, far) : large_time(u, w, far);
  }
  const double root_tau = std::sqrt(tau);
  const double y = m.a * w / std::hypot(root_tau, m.sv * tau) + m.v / std::hypot(1.0 / root_tau, m.sv);
  const double sv_time = m.sv * root_tau;  // sqrt(D - 1)
  const double log_d = std::isfinite(sv_time * sv_time) ? std::log1p(sv_time * sv_time)
                                                        : 2.0 * std::log(m.sv) + std::log(tau);
  const double exponent = images ? (u < kTinyTime ? -1.5 * log_u : 0.0) : f0.exponent + w * w / (2.0 * u);
  return std::log(f0.factor) - 2.0 * log_a - 0.5 * log_d + (exponent - 0.5 * y * y);
}

// The derivatives of log f0 in u and w, from the series differentiated term
// by term, and f0 itself as unit_density sums it (bit for bit, in the
// ordinary ranges: not next to an edge nor below kTinyTime); `ok` is false
// where rounding failed the derivatives' sums.
struct UnitSlopes {
  double u, w;
  SeriesValue value;
  bool images, ok;
};

// Images differentiated: with x_k = w + 2k, r_k = e^{-(x_k^2 - w^2) / 2u}
// and S_n = sum_k x_k^n r_k, R = sum_k r_k over all integers k,
//   f0 = e^{-w^2 / 2u} S_1 / sqrt(2 pi u^3),
//   d log f0 / du = -3 / 2u + S_3 / (2 u^2 S_1),
//   d log f0 / dw = (R - S_2 / u) / S_1.
// S_3 and R - S_2 / u change sign: each sum stops when the pairs left
// cannot move it by kSeriesTolerance of the sum of its terms' magnitudes.
UnitSlopes image_slopes(double u, double w, double far) {
  double sum = w;  // the value's S_1, summed and stopped as image_sum does
  bool value_done = false;
  double r = 1.0;
  double s1 = w;
  double s2 = w * w;
  double s3 = s2 * w;
  double abs3 = s3;
  const double neg_two_over_u = -2.0 / u;
  for (int j = 1; j < 1000; ++j) {
    const double dj = j;
    const double minus = std::exp(neg_two_over_u * dj * (dj - w));
    if (!value_done && 2.0 * (2.0 * dj + 1.0) * minus * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) {
      value_done = true;
    }
    const double reach = 2.0 * dj + 1.0;  // above |x| of both images of the pair
    const double bound = 2.0 * minus * kGeometricTail;
    if (value_done && bound * reach <= kSeriesTolerance * s1 &&
        bound * reach * reach * reach <= kSeriesTolerance * abs3 &&
        bound * (1.0 + reach * reach / u) <= kSeriesTolerance * (r + s2 / u)) {
      break;
    }
    const double plus = std::exp(neg_two_over_u * dj * (dj + w));
    if (!value_done) {
      sum += (w - 2.0 * dj) * minus;
      sum += (w + 2.0 * dj) * plus;
    }
    const double xm = w - 2.0 * dj;
    const double xp = w + 2.0 * dj;
    r += minus + plus;
    s1 += xm * minus + xp * plus;
    s2 += xm * xm * minus + xp * xp * plus;
    s3 += xm * xm * xm * minus + xp * xp * xp * plus;
    abs3 += -xm * xm * xm * minus + xp * xp * xp * plus;
  }
  const bool ok = s1 > 0.0 && std::isfinite(s1) && u > 0.0;
  // Next to an edge or at tiny times small_time's own forms serve the value.
  const SeriesValue value = (w < kFarEdge || far < kFarEdge || u < kTinyTime)
                                ? small_time(u, w, far)
                                : SeriesValue{sum / std::sqrt(2.0 * kPi * u * u * u), -w * w / (2.0 * u)};
  // Divided in steps: 2 u^2 S_1 underflows to 0 next to an edge at tiny
  // times (S_1 about w), where S_3 / S_1 is still a number.
  return {-1.5 / u + s3 / s1 / (2.0 * u) / u, (r - s2 / u) / s1, value, true, ok};
}

// The Fourier series differentiated: with e_k = e^{-(k^2 - 1) c}, c = pi^2 u / 2,
//   f0 = pi e^{-c} sum_k k e_k sin(k pi w),
//   d log f0 / du = -(pi^2 / 2) sum_k k^3 e_k sin(k pi w) / sum_k k e_k sin(k pi w),
//   d log f0 / dw = pi sum_k k^2 e_k cos(k pi w) / sum_k k e_k sin(k pi w),
// sines and cosines by recurrence from the nearer end of (0, 1); the value's
// sum summed and stopped as large_time does, in the same pass.
UnitSlopes fourier_slopes(double u, double w, double far) {
  const double c = kPi * kPi * u / 2.0;
  const bool reflected = w > 0.5;
  const double x = kPi * (reflected ? (far < kFarEdge ? far : 1.0 - w) : w);
  const double two_cos = 2.0 * std::cos(x);
  const double g = std::exp(-c);
  const double g2 = g * g;
  double sin_prev = 0.0;
  double sin_k = std::sin(x);
  double cos_prev = 1.0;
  double cos_k = std::cos(x);
  double decay = 1.0;    // e_k
  double step = g2 * g;  // e_{k+1} / e_k
  // sin(k pi w) = (-1)^{k+1} sin(k x) and cos(k pi w) = (-1)^k cos(k x)
  // where x = pi (1 - w).
  double sum = sin_k;  // the value's
  bool value_done = false;
  double l3 = sin_k;
  double abs3 = sin_k;
  double c2 = reflected ? -cos_k : cos_k;
  double abs2 = std::fabs(cos_k);
  for (int k = 1; k < 100000; ++k) {
    const double next_decay = decay * step;
    const double dk1 = k + 1;
    if (!value_done && dk1 * next_decay * kGeometricTail <= kSeriesTolerance * std::fabs(sum)) value_done = true;
    const double bound = next_decay * kGeometricTail;
    if (value_done && dk1 * dk1 * dk1 * bound <= kSeriesTolerance * abs3 &&
        dk1 * dk1 * bound <= kSeriesTolerance * abs2) {
      break;
    }
    const double sin_next = two_cos * sin_k - sin_prev;
    const double cos_next = two_cos * cos_k - cos_prev;
    sin_prev = sin_k;
    sin_k = sin_next;
    cos_prev = cos_k;
    cos_k = cos_next;
    decay = next_decay;
    step *= g2;
    const bool odd = k % 2 == 1;  // k + 1 even
    const double s = (reflected && odd) ? -sin_k : sin_k;
    const double co = (reflected && !odd) ? -cos_k : cos_k;
    if (!value_done) sum += dk1 * decay * s;
    l3 += dk1 * dk1 * dk1 * decay * s;
    abs3 += dk1 * dk1 * dk1 * decay * std::fabs(s);
    c2 += dk1 * dk1 * decay * co;
    abs2 += dk1 * dk1 * decay * std::fabs(co);
  }
  const bool ok = sum > 0.0 && std::isfinite(sum);
  return {-(kPi * kPi / 2.0) * l3 / sum, kPi * c2 / sum, {kPi * sum, -c}, false, ok};
}

}  // namespace

SeriesValue unit_density(double u, double w, double far) {
  const SeriesValue primary = (u < kSeriesSwitch) ? small_time(u, w, far) : large_time(u, w, far);
  if (primary.factor > 0.0 && std::isfinite(primary.factor)) return primary;
  // Rounding drove the partial sum to zero or below (only at extreme w),
  // or u^3 underflowed: the other series has neither problem there.
  return (u < kSeriesSwitch) ? large_time(u, w, far) : small_time(u, w, far);
}

double log_unit_density(double u, double w) {
  const SeriesValue f0 = unit_density(u, w, 1.0 - w);
  return std::log(f0.factor) + f0.exponent;
}

Reduced reduce(bool choice, const ModelParams& p) {
  LowerBoundary m{p.drift / p.noise_sd, p.boundary / p.noise_sd, p.sv / p.noise_sd, 0.0};
  m.inv_a2 = 1.0 / (m.a * m.a);
  if (choice) return {{-m.v, m.a, m.sv, m.inv_a2}, 1.0 - p.start, p.start};
  return {m, p.start, 1.0 - p.start};
}

namespace {

// log_lower from the unit density f0 = unit_density(tau / a^2, w, far).
double log_lower_from(const LowerBoundary& m, double tau, double w, double far, const SeriesValue& f0) {
  double prefactor;
  double exponent;
  double parts;  // the sum of the exponent's terms' magnitudes
  if (m.sv == 0.0) {
    const double drift = m.v * m.a * w;
    const double time = m.v * m.v * tau / 2.0;
    prefactor = f0.factor * m.inv_a2;
    exponent = f0.exponent - drift - time;
    parts = std::fabs(f0.exponent) + std::fabs(drift) + time;
  } else {
    const double s2 = m.sv * m.sv;
    const double denom = 1.0 + s2 * tau;
    const double aw = m.a * w;
    const double sv_part = s2 * aw * aw;
    const double drift = 2.0 * m.v * aw;
    const double time = m.v * m.v * tau;
    prefactor = f0.factor * m.inv_a2 / std::sqrt(denom);
    exponent = f0.exponent + (sv_part - drift - time) / (2.0 * denom);
    parts = std::fabs(f0.exponent) + (sv_part + std::fabs(drift) + time) / (2.0 * denom);
  }
  const double size = std::fabs(exponent);
  const bool exact_enough = parts <= kPlainNoCancellation * size ||
                            (parts <= kPlainSmallParts && parts <= kPlainMaxCancellation * std::max(1.0, size));
  if (std::isnormal(prefactor) && prefactor > 0.0 && std::isfinite(exponent) && exact_enough) {
    return std::log(prefactor) + exponent;
  }
  return log_lower_robust(m, tau, w, far);
}

}  // namespace

double log_lower(const LowerBoundary& m, double tau, double w, double far) {
  // Quadrature points of a window next to an edge may round onto it.
  if (!(tau > 0.0) || std::isinf(tau) || !(w > 0.0 && far > 0.0)) return -kInf;
  return log_lower_from(m, tau, w, far, unit_density(tau * m.inv_a2, w, far));
}

LowerSlopes log_lower_slopes(const LowerBoundary& m, double tau, double w, double far) {
  LowerSlopes out{-kInf, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (!(tau > 0.0) || std::isinf(tau) || !(w > 0.0 && far > 0.0)) return out;
  const double u = tau * m.inv_a2;
  bool images = u < kSeriesSwitch;
  UnitSlopes f0 = images ? image_slopes(u, w, far) : fourier_slopes(u, w, far);
  if (!f0.ok) f0 = images ? fourier_slopes(u, w, far) : image_slopes(u, w, far);
  // The value's own sum where this pass summed it as unit_density does.
  const bool same_sum = f0.images == images && f0.value.factor > 0.0 && std::isfinite(f0.value.factor) &&
                        (!images || (w >= kFarEdge && far >= kFarEdge && u >= kTinyTime));
  out.log_f = same_sum ? log_lower_from(m, tau, w, far, f0.value) : log_lower(m, tau, w, far);
  const double s2 = m.sv * m.sv;
  const double d = 1.0 + s2 * tau;
  const double aw = m.a * w;
  // The exponent of the drift and sv factors, (sv^2 (aw)^2 - 2 v aw - v^2 tau) / 2D.
  const double e = (s2 * aw * aw - 2.0 * m.v * aw - m.v * m.v * tau) / (2.0 * d);
  out.v = -(aw + m.v * tau) / d;
  out.a = -2.0 / m.a + (s2 * aw * w - m.v * w) / d - 2.0 * u / m.a * f0.u;
  out.w = (s2 * m.a * aw - m.v * m.a) / d + f0.w;
  out.tau = f0.u * m.inv_a2 - 0.5 * s2 / d - (0.5 * m.v * m.v + e * s2) / d;
  out.sv = m.sv * (aw * aw - 2.0 * e * tau - tau) / d;
  return out;
}

double upper_probability(double drift, double boundary, double start, double noise_sd) {
  const double x = 2.0 * (drift / noise_sd) * (boundary / noise_sd);
  if (x == 0.0) return start;
  const double z = x * start;
  // (1 - e^{-z}) / (1 - e^{-x}), rewritten for x < 0 so nothing overflows.
  if (x > 0.0) return std::expm1(-z) / std::expm1(-x);
  return std::exp(x - z) * std::expm1(z) / std::expm1(x);
}

}  // namespace corvatel::internal
