// A density's gradient (wfpt_log_density_gradient in wfpt.h): the series'
// derivatives at one start and decision time (log_lower_slopes), carried to
// the model's parameters; with sz or st, their means over the windows (with
// st and sv = 0 from the closed form's own terms; else a fixed Gauss rule
// where it reproduces the density, adaptive quadrature where not); the
// contaminant mixture on top.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "corvatel/internal/wfpt_averages.h"
#include "corvatel/internal/wfpt_quadrature.h"
#include "corvatel/internal/wfpt_series.h"
#include "corvatel/internal/wfpt_special.h"
#include "corvatel/wfpt.h"

namespace corvatel {

namespace {

using internal::kInf;

// The derivatives averaged: every parameter of kGradientParams but p_outlier.
constexpr std::size_t kSlopes = kGradientParams.size() - 1;
enum Slope : std::size_t { kDrift, kBoundary, kStart, kT0, kSv, kSz, kSt };

// A density (its log) and its derivatives divided by it: at a point, or for
// an integral, the integral's log and the means of the derivatives under it.
struct Weighted {
  double log_f;
  std::array<double, kSlopes> g;
};

// Segments one quadrature may hold, and the quadrature segments (15 values
// of the series each) one gradient may spend, nested integrals included.
// Eight times the density's: with sv, sz and st the density has the start's
// mean in closed form, the gradient integrates it too, and a start window
// reaching to within a few hundredths of the responding boundary takes up
// to about 20 000 segments (at the density's 4096 such derivatives were off
// by up to 100%). Past it, the estimate so far.
constexpr std::size_t kMaxSegments = 100;
constexpr std::size_t kBudget = 32768;

// The integral of exp(log_f) over [lo, hi] and the means of g under it, by
// globally adaptive Gauss-Kronrod 7/15: the segment whose worst component
// has the largest error estimate relative to that component's total
// magnitude (the integral of f |g|) is halved until every component is
// within `tolerance` of it. Values are scaled by the largest log seen, as
// log_integral does, so that nothing underflows.
template <std::size_t H, typename F>
Weighted weighted_integral(const internal::KronrodRule<H>& rule, const F& f, double lo, double hi, double tolerance,
                           std::size_t& budget) {
  constexpr std::size_t kHalf = H;
  constexpr std::size_t kParts = kSlopes + 1;  // f, then f g
  struct Segment {
    double lo, hi;
    std::array<double, kParts> sum, error, magnitude;
  };
  std::array<Segment, kMaxSegments> segs;
  std::size_t n = 0;
  double ref = -kInf;
  const auto add = [&](std::size_t slot, double a, double b) {
    if (budget > 0) --budget;
    const double half = 0.5 * (b - a);
    const double mid = 0.5 * (b + a);
    std::array<Weighted, 2 * kHalf - 1> at;
    for (std::size_t i = 0; i + 1 < kHalf; ++i) {
      at[2 * i] = f(mid - half * rule.x[i]);
      at[2 * i + 1] = f(mid + half * rule.x[i]);
    }
    at[2 * kHalf - 2] = f(mid);
    double top = -kInf;
    for (const Weighted& w : at) top = std::max(top, w.log_f);
    if (top > ref) {
      const double rescale = std::exp(ref - top);  // 0 on the first segment
      for (std::size_t i = 0; i < n; ++i) {
        if (i == slot) continue;
        for (std::size_t c = 0; c < kParts; ++c) {
          segs[i].sum[c] *= rescale;
          segs[i].error[c] *= rescale;
          segs[i].magnitude[c] *= rescale;
        }
      }
      ref = top;
    }
    Segment s{a, b, {}, {}, {}};
    for (std::size_t c = 0; c < kParts; ++c) {
      double k = 0.0;
      double g = 0.0;
      double m = 0.0;
      const auto part = [&](const Weighted& w) {
        const double scaled = w.log_f > -kInf ? std::exp(w.log_f - ref) : 0.0;
        return c == 0 ? scaled : (scaled > 0.0 ? scaled * w.g[c - 1] : 0.0);
      };
      for (std::size_t i = 0; i < kHalf; ++i) {
        const double v = (i + 1 == kHalf) ? part(at[2 * kHalf - 2]) : part(at[2 * i]) + part(at[2 * i + 1]);
        const double v_abs = (i + 1 == kHalf) ? std::fabs(part(at[2 * kHalf - 2]))
                                              : std::fabs(part(at[2 * i])) + std::fabs(part(at[2 * i + 1]));
        k += rule.wk[i] * v;
        m += rule.wk[i] * v_abs;
        if (i % 2 == 1) g += rule.wg[i / 2] * v;
      }
      s.sum[c] = k * half;
      s.error[c] = std::fabs(k - g) * half;
      s.magnitude[c] = m * half;
    }
    segs[slot] = s;
  };
  add(n++, lo, hi);
  for (;;) {
    std::array<double, kParts> total{}, error{}, magnitude{};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t c = 0; c < kParts; ++c) {
        total[c] += segs[i].sum[c];
        error[c] += segs[i].error[c];
        magnitude[c] += segs[i].magnitude[c];
      }
    }
    bool done = n == kMaxSegments || budget == 0 || !(total[0] > 0.0);
    for (std::size_t c = 0; c < kParts && !done; ++c) {
      if (!(error[c] <= tolerance * magnitude[c])) break;
      if (c + 1 == kParts) done = true;
    }
    if (done) {
      Weighted out{total[0] > 0.0 ? ref + std::log(total[0]) : -kInf, {}};
      if (total[0] > 0.0) {
        for (std::size_t c = 1; c < kParts; ++c) out.g[c - 1] = total[c] / total[0];
      }
      return out;
    }
    // The worst segment: largest error relative to its component's total.
    std::size_t worst = 0;
    double worst_share = -1.0;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t c = 0; c < kParts; ++c) {
        const double share = magnitude[c] > 0.0 ? segs[i].error[c] / magnitude[c] : 0.0;
        if (share > worst_share) {
          worst_share = share;
          worst = i;
        }
      }
    }
    const Segment s = segs[worst];
    if (!(s.hi - s.lo > internal::kNarrowestSegment * std::max(std::fabs(s.lo), std::fabs(s.hi)))) {
      segs[worst].error.fill(0.0);  // as good as doubles make it
      continue;
    }
    const double m = 0.5 * (s.lo + s.hi);
    add(n++, m, s.hi);
    add(worst, s.lo, m);
  }
}

// The density and its derivatives in model units at decision time tau from
// the (model's, unreflected) start; the sz and st parts are the caller's.
Weighted point(double tau, bool choice, double start, const ModelParams& p) {
  const ModelParams at{p.drift, p.boundary, start, p.t0, p.noise_sd, p.sv, 0.0, 0.0, 0.0};
  const internal::Reduced r = internal::reduce(choice, at);
  if (!(tau > 0.0) || std::isinf(tau) || !(r.w > 0.0 && r.far > 0.0)) return {-kInf, {}};
  const internal::LowerSlopes s = internal::log_lower_slopes(r.m, tau, r.w, r.far);
  // The upper response reflects drift and start.
  const double sign = choice ? -1.0 : 1.0;
  Weighted out{s.log_f, {}};
  out.g[kDrift] = sign * s.v / p.noise_sd;
  out.g[kBoundary] = s.a / p.noise_sd;
  out.g[kStart] = sign * s.w;
  out.g[kT0] = -s.tau;
  out.g[kSv] = s.sv / p.noise_sd;
  return out;
}

// Fixed quadrature rules on [-1, 1], nodes and weights.
template <std::size_t N>
struct FixedRule {
  std::array<double, N> x, w;
};
// The 15-point Kronrod rule and its Gauss half, the 7-point Gauss-Legendre
// rule (the Kronrod rule's odd-numbered abscissae).
constexpr FixedRule<15> kKronrod15 = [] {
  const auto& k = internal::kRule15;
  FixedRule<15> rule{};
  for (std::size_t i = 0; i < 7; ++i) {
    rule.x[i] = -k.x[i];
    rule.x[14 - i] = k.x[i];
    rule.w[i] = rule.w[14 - i] = k.wk[i];
  }
  rule.x[7] = 0.0;
  rule.w[7] = k.wk[7];
  return rule;
}();
constexpr FixedRule<7> kGauss7 = [] {
  const auto& k = internal::kRule15;
  FixedRule<7> rule{};
  for (std::size_t i = 0; i < 3; ++i) {
    rule.x[i] = -k.x[2 * i + 1];
    rule.x[6 - i] = k.x[2 * i + 1];
    rule.w[i] = rule.w[6 - i] = k.wg[i];
  }
  rule.x[3] = 0.0;
  rule.w[3] = k.wg[3];
  return rule;
}();
// The 5-point rule: nodes 0, +-sqrt(5 -+ 2 sqrt(10/7)) / 3, weights 128/225,
// (322 +- 13 sqrt(70)) / 900.
constexpr FixedRule<5> kGauss5{{-0.906179845938663992798, -0.538469310105683091036, 0.0, 0.538469310105683091036,
                                0.906179845938663992798},
                               {0.236926885056189087514, 0.478628670499366468041, 128.0 / 225.0,
                                0.478628670499366468041, 0.236926885056189087514}};

// The weighted sum of n densities (weights > 0) and their derivatives'
// means under it.
Weighted weighted_sum(const Weighted* at, const double* weight, std::size_t n) {
  double top = -kInf;
  for (std::size_t k = 0; k < n; ++k) top = std::max(top, at[k].log_f);
  if (!(top > -kInf)) return {-kInf, {}};
  double total = 0.0;
  std::array<double, kSlopes> moments{};
  for (std::size_t k = 0; k < n; ++k) {
    if (!(at[k].log_f > -kInf)) continue;
    const double f = weight[k] * std::exp(at[k].log_f - top);
    total += f;
    for (std::size_t c = 0; c < kSlopes; ++c) moments[c] += f * at[k].g[c];
  }
  Weighted out{top + std::log(total), {}};
  for (std::size_t c = 0; c < kSlopes; ++c) out.g[c] = moments[c] / total;
  return out;
}

// Over the start window, d/dsz is the mean of d/dstart times the relative
// place in the window.
Weighted with_sz_slope(Weighted w, double start, const ModelParams& p) {
  w.g[kSz] = w.g[kStart] * ((start - p.start) / p.sz);
  return w;
}

// The mean over the start window at decision time tau by a fixed rule.
template <std::size_t N>
Weighted fixed_over_start(double tau, bool choice, const ModelParams& p, const FixedRule<N>& rule) {
  if (p.sz == 0.0) return point(tau, choice, p.start, p);
  std::array<Weighted, N> at;
  std::array<double, N> weight;
  for (std::size_t i = 0; i < N; ++i) {
    const double start = p.start + 0.5 * p.sz * rule.x[i];
    at[i] = with_sz_slope(point(tau, choice, start, p), start, p);
    weight[i] = 0.5 * rule.w[i];
  }
  return weighted_sum(at.data(), weight.data(), N);
}

// The mean over the start window at decision time tau by the 15-point
// Kronrod rule on pieces graded from the window's end nearer the responding
// boundary: there the density in the start rises and falls over
// scale^2 / near (scale = sqrt(tau) noise_sd / boundary, its width in the
// start; near, the end's distance to the boundary), over scale next to it,
// and is smooth further in. The first piece is that wide (at least 1/256 of
// the window), each next one twice as wide, the last takes the rest: at
// most 9 pieces. A window that reaches within a few hundredths of the
// boundary needs this where one rule over the whole window is off.
Weighted graded_over_start(double tau, bool choice, const ModelParams& p) {
  if (p.sz == 0.0) return point(tau, choice, p.start, p);
  constexpr std::size_t kMaxPieces = 9;
  const double scale = std::sqrt(tau) * p.noise_sd / p.boundary;
  const double near = choice ? 1.0 - (p.start + p.sz / 2.0) : p.start - p.sz / 2.0;
  const double first = near > scale ? scale * (scale / near) : scale;
  double width = std::clamp(first, p.sz / 256.0, p.sz);
  std::array<Weighted, kMaxPieces * kKronrod15.x.size()> at;
  std::array<double, at.size()> weight;
  std::size_t n = 0;
  double done = 0.0;
  for (std::size_t piece = 0; piece < kMaxPieces && done < p.sz; ++piece) {
    const double w = piece + 1 == kMaxPieces ? p.sz - done : std::min(width, p.sz - done);
    for (std::size_t i = 0; i < kKronrod15.x.size(); ++i) {
      const double inward = done + 0.5 * w * (1.0 + kKronrod15.x[i]);
      const double start = choice ? (p.start + p.sz / 2.0) - inward : (p.start - p.sz / 2.0) + inward;
      at[n] = with_sz_slope(point(tau, choice, start, p), start, p);
      weight[n] = 0.5 * (w / p.sz) * kKronrod15.w[i];
      ++n;
    }
    done += w;
    width *= 2.0;
  }
  return weighted_sum(at.data(), weight.data(), n);
}

// The time window of st as the density takes it: decision times from 0 on,
// the mean over the whole window.
struct TimeWindow {
  double window_lo, tau_lo, tau_hi;
  TimeWindow(double rt, const ModelParams& p)
      : window_lo(rt - p.t0 - p.st / 2.0), tau_lo(std::max(0.0, window_lo)), tau_hi(rt - (p.t0 - p.st / 2.0)) {}
  double log_width() const { return std::log(tau_hi - window_lo); }
};

// Over the non-decision time t0' = rt - tau, d/dst is the mean of d/dt0
// times the relative place in the window.
Weighted with_st_slope(Weighted w, double rt, double tau, const ModelParams& p) {
  w.g[kSt] = w.g[kT0] * (((rt - tau) - p.t0) / p.st);
  return w;
}

// The means by one fixed rule over each window (N x M values of the series
// with both): cheap, and as accurate as the adaptive quadrature wherever
// the density is smooth on the scale of the windows. The caller checks the
// density they give against the density's own mean.
template <std::size_t N, std::size_t M>
Weighted fixed_slopes(double rt, bool choice, const ModelParams& p, const FixedRule<N>& over_time,
                      const FixedRule<M>& over_start) {
  if (p.st == 0.0) return fixed_over_start(rt - p.t0, choice, p, over_start);
  const TimeWindow window(rt, p);
  if (!(window.tau_hi > window.tau_lo)) return {-kInf, {}};
  std::array<Weighted, N> at;
  std::array<double, N> weight;
  for (std::size_t j = 0; j < N; ++j) {
    const double tau =
        0.5 * (window.tau_lo + window.tau_hi) + 0.5 * (window.tau_hi - window.tau_lo) * over_time.x[j];
    at[j] = with_st_slope(fixed_over_start(tau, choice, p, over_start), rt, tau, p);
    weight[j] = 0.5 * over_time.w[j];
  }
  Weighted out = weighted_sum(at.data(), weight.data(), N);
  out.log_f += std::log(window.tau_hi - window.tau_lo) - window.log_width();
  return out;
}

// How adaptive_slopes takes the start's mean at each decision time.
enum class StartRule { Gauss7, Graded, Adaptive };

// The means by adaptive quadrature over time (and, with StartRule::Adaptive,
// over the start inside it), each refined until every derivative is within
// `tolerance` of its magnitude; with a fixed start rule the caller checks
// the density.
Weighted adaptive_slopes(double rt, bool choice, const ModelParams& p, double tolerance, StartRule start_rule) {
  std::size_t budget = kBudget;
  const auto over_start = [&](double tau_at) {
    if (p.sz == 0.0) return point(tau_at, choice, p.start, p);
    if (start_rule == StartRule::Gauss7) return fixed_over_start(tau_at, choice, p, kGauss7);
    if (start_rule == StartRule::Graded) return graded_over_start(tau_at, choice, p);
    const auto at = [&](double start) { return with_sz_slope(point(tau_at, choice, start, p), start, p); };
    Weighted w = weighted_integral(internal::kRule15, at, p.start - p.sz / 2.0, p.start + p.sz / 2.0,
                                   tolerance * 0.25, budget);
    w.log_f -= std::log(p.sz);
    return w;
  };
  if (p.st == 0.0) return over_start(rt - p.t0);
  const TimeWindow window(rt, p);
  const auto at = [&](double tau) { return with_st_slope(over_start(tau), rt, tau, p); };
  Weighted out = weighted_integral(internal::kRule15, at, window.tau_lo, window.tau_hi, tolerance * 0.75, budget);
  out.log_f -= window.log_width();
  return out;
}

// With st (and sz or not) and sv = 0: the closed form's slopes, where it
// vouches for them and its integral is the density's own mean. The parts
// are the derivatives in the windows' ends (a mean's derivative in an end
// is the integrand there over the width), in the start at one start, and
// in the drift; the boundary's follows from the scaling of time (d/da f =
// (2/a) (v/2 d/dv f - f - s d/ds f), integrated by parts over the time
// window). A window clipped at decision time 0 has no density at that end.
std::optional<std::array<double, kSlopes>> closed_slopes(double rt, bool choice, const ModelParams& p,
                                                         double log_mean, double tolerance) {
  if (!(p.st > 0.0 && p.sv == 0.0)) return std::nullopt;
  const internal::Reduced r = internal::reduce(choice, p);
  if (r.far + p.sz / 2.0 < internal::kFarEdge || !std::isnormal(r.m.inv_a2)) return std::nullopt;
  const TimeWindow window(rt, p);
  const double time_width = window.tau_hi - window.window_lo;
  const double sign = choice ? -1.0 : 1.0;
  // The parts the time window shares: its ends', the drift's, and the log
  // of its integral (of the mean over the start window, if any).
  struct {
    double at_s1, at_s2, drift, log_integral;
  } t{};
  std::array<double, kSlopes> g{};
  if (p.sz > 0.0) {
    const double w1 = r.w - p.sz / 2.0;
    const double w2 = r.w + p.sz / 2.0;
    const auto s = internal::closed_window_slopes(r.m, window.tau_lo, window.tau_hi, w1, w2, 0.1 * tolerance);
    if (!s) return std::nullopt;
    g[kStart] = sign * (s->at_w2 - s->at_w1);
    g[kSz] = 0.5 * (s->at_w2 + s->at_w1) - 1.0 / (w2 - w1);
    t = {s->at_s1, s->at_s2, s->drift, s->log_integral - std::log(w2 - w1)};
  } else {
    const auto s = internal::closed_time_window_slopes(r.m, window.tau_lo, window.tau_hi, r.w, r.far, 0.1 * tolerance);
    if (!s) return std::nullopt;
    g[kStart] = sign * s->start;
    t = {s->at_s1, s->at_s2, s->drift, s->log_integral};
  }
  if (!(std::fabs(t.log_integral - window.log_width() - log_mean) <= 0.1 * tolerance)) return std::nullopt;
  g[kDrift] = sign * t.drift / p.noise_sd;
  g[kBoundary] =
      (2.0 / r.m.a) * (0.5 * r.m.v * t.drift - window.tau_hi * t.at_s2 + window.tau_lo * t.at_s1) / p.noise_sd;
  g[kT0] = t.at_s1 - t.at_s2;
  g[kSt] = 0.5 * (t.at_s2 + t.at_s1) - 1.0 / time_width;
  return g;
}

// The diffusion's derivatives with sz or st, divided by its density, whose
// log is `log_mean`. A fixed rule's means are taken where its density is
// within a tenth of `tolerance` of log_mean (the weights that integrate the
// density that well integrate its derivatives, as smooth, nearly as well):
// the 5-point Gauss rule's (most trials), else the 7-point rule's, else,
// with st, the 15-point Kronrod rule's over time (windows on the density's
// rise, decision times of a few tenths of a second); then, with both
// windows, the adaptive quadrature over time with the 7-point rule over the
// start, else with graded_over_start (a start window reaching near the
// boundary); else the adaptive quadrature
// over both (a window far wider than the density's scales), which costs
// up to a thousand times more.
std::array<double, kSlopes> diffusion_slopes(double rt, bool choice, const ModelParams& p, double log_mean,
                                             double tolerance) {
  if (const auto closed = closed_slopes(rt, choice, p, log_mean, tolerance)) return *closed;
  const auto close = [&](const Weighted& w) { return std::fabs(w.log_f - log_mean) <= 0.1 * tolerance; };
  const Weighted coarse = fixed_slopes(rt, choice, p, kGauss5, kGauss5);
  if (close(coarse)) return coarse.g;
  const Weighted fixed = fixed_slopes(rt, choice, p, kGauss7, kGauss7);
  if (close(fixed)) return fixed.g;
  if (p.st > 0.0) {
    const Weighted fine = fixed_slopes(rt, choice, p, kKronrod15, kGauss7);
    if (close(fine)) return fine.g;
  }
  if (p.sz > 0.0 && p.st > 0.0) {
    for (const StartRule rule : {StartRule::Gauss7, StartRule::Graded}) {
      const Weighted mixed = adaptive_slopes(rt, choice, p, tolerance, rule);
      if (close(mixed)) return mixed.g;
    }
  }
  return adaptive_slopes(rt, choice, p, tolerance, StartRule::Adaptive).g;
}

}  // namespace

DensityGradient wfpt_log_density_gradient(double rt, bool choice, const ModelParams& given,
                                          const OutlierWindow& outlier_window, double tolerance) {
  // A time window that rounds to nothing (st below the doubles' spacing at
  // rt - t0) is none, as the density takes it; its slope in st is 0, as a
  // mean over a symmetric window's is at width 0.
  ModelParams p = given;
  if (p.st > 0.0 && !(rt - (p.t0 - p.st / 2.0) > rt - p.t0 - p.st / 2.0)) p.st = 0.0;
  // Without windows the density and its slopes come from one pass over the
  // series, the density as wfpt_log_density computes it.
  const bool windows = p.sz > 0.0 || p.st > 0.0;
  Weighted diffusion{-kInf, {}};
  if (!windows && std::isfinite(rt)) {
    diffusion = point(rt - p.t0, choice, p.start, p);
  } else if (windows) {
    diffusion.log_f = wfpt_log_density(rt, choice, p);
  }
  const double log_diffusion = diffusion.log_f;
  DensityGradient out{log_mixture(log_diffusion, rt, p.p_outlier, outlier_window), {}};
  if (!(log_diffusion > -kInf)) {
    // Only contaminants respond here: the log of p c has slope 1 / p in p.
    if (p.p_outlier > 0.0 && out.log_density > -kInf) out.d[kSlopes] = 1.0 / p.p_outlier;
    return out;
  }
  const std::array<double, kSlopes> g = windows ? diffusion_slopes(rt, choice, p, log_diffusion, tolerance) : diffusion.g;
  if (p.p_outlier == 0.0 && out.log_density == log_diffusion) {
    std::copy(g.begin(), g.end(), out.d.begin());
  } else {
    // d log m = (1 - p) f / m d log f, and d m / dp = c - f with c the
    // contaminants' density (0 outside their window).
    const double share = std::exp(std::log1p(-p.p_outlier) + log_diffusion - out.log_density);
    for (std::size_t k = 0; k < kSlopes; ++k) out.d[k] = share * g[k];
  }
  const bool inside = rt >= outlier_window.lo && rt <= outlier_window.hi;
  const double contaminant = inside ? std::exp(std::log(0.5 / (outlier_window.hi - outlier_window.lo)) - out.log_density)
                                    : 0.0;
  out.d[kSlopes] = contaminant - std::exp(log_diffusion - out.log_density);
  return out;
}

}  // namespace corvatel
