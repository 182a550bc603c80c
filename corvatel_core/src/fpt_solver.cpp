#include "corvatel/fpt_solver.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include "corvatel/parameters.h"

namespace corvatel {

namespace {

constexpr double kInvSqrt2Pi = 0.39894228040143267794;
constexpr double kNegInf = -std::numeric_limits<double>::infinity();

bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }

double normal_pdf(double z) { return kInvSqrt2Pi * std::exp(-0.5 * z * z); }

// Phi(z1) - Phi(z2) for z1 >= z2, from the tail on the side where both lie,
// so that it keeps its relative accuracy far out.
double normal_mass_between(double z2, double z1) {
  constexpr double kInvSqrt2 = 0.70710678118654752440;
  if (z2 >= 0.0) return 0.5 * (std::erfc(z2 * kInvSqrt2) - std::erfc(z1 * kInvSqrt2));
  if (z1 <= 0.0) return 0.5 * (std::erfc(-z1 * kInvSqrt2) - std::erfc(-z2 * kInvSqrt2));
  return 1.0 - 0.5 * std::erfc(z1 * kInvSqrt2) - 0.5 * std::erfc(-z2 * kInvSqrt2);
}

// K_n(x) = int_0^1 (1-q)^n e^{-x q} dq for n = 0, 1, 2: the leak's weights in
// the transition's mean and variance. Series below x = 1/2 (the recursion
// from e^{-x} loses digits there), closed forms above.
struct LeakMoments {
  double k0, k1, k2;
};

LeakMoments leak_moments(double x) {
  if (x < 0.5) {
    // K_n = n! sum_i (-x)^i / (i+n+1)!; 20 terms: x^20/20! < 1e-24.
    double k0 = 0.0, k1 = 0.0, k2 = 0.0;
    double term = 1.0;  // (-x)^i / i!
    for (int i = 0; i < 20; ++i) {
      const double fi = static_cast<double>(i);
      k0 += term / (fi + 1.0);
      k1 += term / ((fi + 1.0) * (fi + 2.0));
      k2 += 2.0 * term / ((fi + 1.0) * (fi + 2.0) * (fi + 3.0));
      term *= -x / (fi + 1.0);
    }
    return {k0, k1, k2};
  }
  // J_n = int_0^1 q^n e^{-x q} dq by J_n = (n J_{n-1} - e^{-x}) / x.
  const double e = std::exp(-x);
  const double j0 = -std::expm1(-x) / x;
  const double j1 = (j0 - e) / x;
  const double j2 = (2.0 * j1 - e) / x;
  return {j0, j0 - j1, j0 - 2.0 * j1 + j2};
}

// The Gaussian transition from time tau to t = tau + s: X(t) has mean
// y * decay + drift_shift and standard deviation sd; `c` is the kernel's
// weight (leak sd + (d var/dt) / (2 sd)).
struct Transition {
  double decay;
  double drift_shift;
  double sd;
  double c;
};

struct Dynamics {
  double drift, noise_sd, leak, urgency;

  Transition over(double tau, double s) const {
    const double gain_tau = 1.0 + urgency * tau;
    const double gain_t = 1.0 + urgency * (tau + s);
    double mean_weight = s;     // int_tau^t g(r) e^{-leak (t-r)} dr
    double variance_weight = s;  // int_tau^t g(r)^2 e^{-2 leak (t-r)} dr
    double decay = 1.0;
    if (leak > 0.0) {
      // g(r) = gain_tau + urgency (r - tau): every term below is positive.
      const LeakMoments m1 = leak_moments(leak * s);
      const LeakMoments m2 = leak_moments(2.0 * leak * s);
      mean_weight = s * (gain_tau * m1.k0 + urgency * s * m1.k1);
      variance_weight =
          s * (gain_tau * gain_tau * m2.k0 + 2.0 * urgency * gain_tau * s * m2.k1 + urgency * urgency * s * s * m2.k2);
      decay = std::exp(-leak * s);
    } else if (urgency > 0.0) {
      mean_weight = s * (gain_tau + urgency * s * 0.5);
      variance_weight = s * (gain_tau * gain_tau + urgency * gain_tau * s + urgency * urgency * s * s / 3.0);
    }
    const double variance = noise_sd * noise_sd * variance_weight;
    const double sd = std::sqrt(variance);
    const double variance_rate = noise_sd * noise_sd * gain_t * gain_t - 2.0 * leak * variance;
    return {decay, drift * mean_weight, sd, leak * sd + variance_rate / (2.0 * sd)};
  }
};

// Psi_S(t | y, tau) for the bound S(t) whose k_S term is -d/2.
double kernel(const Transition& tr, double bound, double d, double y) {
  const double z = (bound - (y * tr.decay + tr.drift_shift)) / tr.sd;
  return normal_pdf(z) / tr.sd * (0.5 * d - z * tr.c);
}

// The same averaged over y uniform on [y_lo, y_hi].
double kernel_over_start(const Transition& tr, double bound, double d, double y_lo, double y_hi) {
  const double width = (y_hi - y_lo) * tr.decay;
  // Narrower than 1e-6 sd: the midpoint's value is exact to ~1e-13.
  if (width < 1e-6 * tr.sd) return kernel(tr, bound, d, 0.5 * (y_lo + y_hi));
  const double z_hi = (bound - (y_lo * tr.decay + tr.drift_shift)) / tr.sd;
  const double z_lo = (bound - (y_hi * tr.decay + tr.drift_shift)) / tr.sd;
  return (0.5 * d * normal_mass_between(z_lo, z_hi) - tr.c * (normal_pdf(z_lo) - normal_pdf(z_hi))) / width;
}

constexpr double kZetaMinusHalf = -0.20788622497735456602;

// c = lim Psi_S(t | S(t-s), t-s) / sqrt(s) as s -> 0, by extrapolating from
// s = h and h/4 (Psi / sqrt(s) = c + O(s)); h small against the process's
// time scales, large enough that the kernel's cancellation (relative
// 1e-16 / s) stays below 1e-9.
double diagonal_slope(const Dynamics& dyn, const TimeVaryingModel& m, double t, double bound, double d, double side) {
  const double h = std::min(1e-6, 0.5 * t);
  double ratio[2];
  for (int i = 0; i < 2; ++i) {
    const double s = i == 0 ? h : 0.25 * h;
    const Transition tr = dyn.over(t - s, s);
    ratio[i] = kernel(tr, bound, d, side * bound_half_width(m, t - s)) / std::sqrt(s);
  }
  return (4.0 * ratio[1] - ratio[0]) / 3.0;
}

// The free terms -2 Psi_u(t | start) and 2 Psi_l(t | start): the densities
// themselves until paths that met one bound reach the other.
struct FreeTerms {
  double upper, lower;
};

FreeTerms free_terms(const TimeVaryingModel& m, const Transition& from_start, double t, double b) {
  const double slope = bound_slope(m, t);
  const double gain_drift = (1.0 + m.urgency * t) * m.drift;
  const double d_upper = slope - (gain_drift - m.leak * b);
  const double d_lower = -slope - (gain_drift + m.leak * b);
  const double x0 = (m.start - 0.5) * m.boundary;
  const double start_half_width = 0.5 * m.sz * m.boundary;
  if (start_half_width > 0.0) {
    return {-2.0 * kernel_over_start(from_start, b, d_upper, x0 - start_half_width, x0 + start_half_width),
            2.0 * kernel_over_start(from_start, -b, d_lower, x0 - start_half_width, x0 + start_half_width)};
  }
  return {-2.0 * kernel(from_start, b, d_upper, x0), 2.0 * kernel(from_start, -b, d_lower, x0)};
}

std::string term_message(BoundTerm t) {
  return std::string(bound_term(t).name) + " must be " + bound_term(t).phrase;
}

std::string kind_message(FptError::Kind kind) {
  switch (kind) {
    case FptError::Kind::Model:
      return "";
    case FptError::Kind::Theta:
      return term_message(BoundTerm::Theta);
    case FptError::Kind::Shape:
      return term_message(BoundTerm::Shape);
    case FptError::Kind::Scale:
      return term_message(BoundTerm::Scale);
    case FptError::Kind::Rate:
      return term_message(BoundTerm::Rate);
    case FptError::Kind::Leak:
      return term_message(BoundTerm::Leak);
    case FptError::Kind::Urgency:
      return term_message(BoundTerm::Urgency);
    case FptError::Kind::Resolution:
      return "dt and t_max must be positive and finite, with t_max / dt at most 100000";
    case FptError::Kind::Interrupted:
      return "interrupted";
  }
  return "";
}

// How far the densities' running sum may pass 1 before the grid is cut:
// the recursion's error is far smaller wherever the step follows the walk.
constexpr double kMassExcess = 0.01;
// Steps across a drift's spike, as a multiple of 1 / relative_step: 36 / 144 = 1/4 of its width a step.
constexpr double kSpikeSteps = 36.0;

// The grid's interpolation: index i with t_i <= t < t_{i+1} and the cubic
// through nodes i-1 .. i+2 (shifted inside the grid at its ends).
struct Stencil {
  std::size_t first;
  double weight[4];
};

Stencil cubic_stencil(double t, double dt, std::size_t size) {
  const double position = t / dt;
  std::size_t i = static_cast<std::size_t>(position);
  if (i + 1 >= size) i = size - 2;
  std::size_t first = i == 0 ? 0 : i - 1;
  if (first + 3 >= size) first = size - 4;
  const double x = position - static_cast<double>(first);  // in node units from `first`
  const double x0 = x, x1 = x - 1.0, x2 = x - 2.0, x3 = x - 3.0;
  return {first, {-x1 * x2 * x3 / 6.0, x0 * x2 * x3 / 2.0, -x0 * x1 * x3 / 2.0, x0 * x1 * x2 / 6.0}};
}

// How far g / free may stray from 1 at the nodes for the ratio to be
// interpolated: on the leading edge it stays near 1; past the bulk the free
// term may cross zero, where the ratio has a pole and log g is the smooth one.
constexpr double kRatioLow = 0.5, kRatioHigh = 2.0;

// The density at decision time t (0 <= t <= last grid time): on the leading
// edge, the cubic in log(g / free) plus the exact log free(t), which leaves
// the steep rise to the free term (at time 0, where both vanish, the ratio
// is 1: the equation's integral is of higher order there); else the cubic
// in log g; else linear in g.
double interpolate_density(const std::vector<double>& g, const std::vector<double>& free, double free_at_t,
                           double dt, double t) {
  const std::size_t size = g.size();
  const double position = t / dt;
  std::size_t i = std::min(static_cast<std::size_t>(position), size - 2);
  if (size >= 4) {
    const Stencil st = cubic_stencil(t, dt, size);
    double ratio[4], log_ratio = 0.0;
    bool leading_edge = free_at_t > 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t node = st.first + k;
      ratio[k] = node == 0 ? 1.0 : g[node] / free[node];
      leading_edge = leading_edge && (node == 0 || free[node] > 0.0) && ratio[k] >= kRatioLow &&
                     ratio[k] <= kRatioHigh;
    }
    if (leading_edge) {
      for (std::size_t k = 0; k < 4; ++k) log_ratio += st.weight[k] * std::log(ratio[k]);
      return free_at_t * std::exp(log_ratio);
    }
    bool positive = true;
    for (std::size_t k = 0; k < 4; ++k) positive = positive && g[st.first + k] > 0.0;
    if (positive) {
      double log_g = 0.0;
      for (std::size_t k = 0; k < 4; ++k) log_g += st.weight[k] * std::log(g[st.first + k]);
      return std::exp(log_g);
    }
  }
  const double frac = position - static_cast<double>(i);
  return std::max(0.0, g[i] + frac * (g[i + 1] - g[i]));
}

// The running integral of the density to time t, from its trapezoid sums.
double interpolate_integral(const std::vector<double>& running, double dt, double t) {
  const std::size_t size = running.size();
  const double last = dt * static_cast<double>(size - 1);
  if (t <= 0.0) return 0.0;
  if (t >= last) return running.back();
  if (size < 4) {
    const double position = t / dt;
    const std::size_t i = std::min(static_cast<std::size_t>(position), size - 2);
    const double frac = position - static_cast<double>(i);
    return running[i] + frac * (running[i + 1] - running[i]);
  }
  const Stencil st = cubic_stencil(t, dt, size);
  double sum = 0.0;
  for (std::size_t k = 0; k < 4; ++k) sum += st.weight[k] * running[st.first + k];
  return sum;
}

// The integral of g from 0 to each grid time: the trapezoid sums less their
// Euler-Maclaurin term dt^2/12 (g'(t) - g'(0)), g'(0) = 0 and g'(t) by central
// differences (one-sided at the end), so that the error is of order dt^4
// like the cubic that interpolates it.
void running_integral(const std::vector<double>& g, double dt, std::vector<double>& out) {
  const std::size_t size = g.size();
  double trapezoid = 0.0;
  for (std::size_t k = 1; k < size; ++k) {
    trapezoid += 0.5 * dt * (g[k - 1] + g[k]);
    const double slope = k + 1 < size ? (g[k + 1] - g[k - 1]) / (2.0 * dt) : (g[k] - g[k - 1]) / dt;
    out[k] = trapezoid - dt * dt / 12.0 * slope;
  }
}

}  // namespace

std::string FptError::message() const {
  if (kind_ == Kind::Model && param_error_) return param_error_->message();
  return kind_message(kind_);
}

std::optional<FptError> check_time_varying(const TimeVaryingModel& m, const SolverResolution& r) {
  ModelParams p;
  p.drift = m.drift;
  p.boundary = m.boundary;
  p.start = m.start;
  p.noise_sd = m.noise_sd;
  p.sz = m.sz;
  if (auto e = check_params(p, ParamUse::Density)) return FptError::model(*e);
  if (auto e = check_bound_terms(m)) return e;
  if (!finite_positive(r.relative_step) || !(r.relative_step <= kMaxRelativeStep) || !finite_positive(r.t_max) ||
      !(r.t_max / solver_step(m, r) <= kMaxSolverSteps)) {
    return FptError::of(FptError::Kind::Resolution);
  }
  return std::nullopt;
}

std::optional<FptError> check_bound_terms(const TimeVaryingModel& m) {
  using Kind = BoundSpec::Kind;
  const BoundSpec& b = m.bound;
  const auto outside = [](BoundTerm t, double x) { return !bound_term(t).range.contains(x); };
  if (b.kind == Kind::Angle && outside(BoundTerm::Theta, b.theta)) return FptError::of(FptError::Kind::Theta);
  if (b.kind == Kind::Weibull) {
    if (outside(BoundTerm::Shape, b.shape)) return FptError::of(FptError::Kind::Shape);
    if (outside(BoundTerm::Scale, b.scale)) return FptError::of(FptError::Kind::Scale);
  }
  if ((b.kind == Kind::Exponential || b.kind == Kind::Hyperbolic) && outside(BoundTerm::Rate, b.rate)) {
    return FptError::of(FptError::Kind::Rate);
  }
  if (outside(BoundTerm::Leak, m.leak)) return FptError::of(FptError::Kind::Leak);
  if (outside(BoundTerm::Urgency, m.urgency)) return FptError::of(FptError::Kind::Urgency);
  return std::nullopt;
}

double solver_step(const TimeVaryingModel& m, const SolverResolution& r) {
  // The leading edge at the nearer bound rises on the time scale of the
  // start's distance to it: twice that distance stands in for the boundary
  // when it is smaller.
  const double distance = std::min(m.start, 1.0 - m.start) * m.boundary;
  const double scale = std::min(m.boundary, 2.0 * distance) / m.noise_sd;
  const double step = r.relative_step * scale * scale;
  // A strong drift crosses that distance d in a spike of width
  // noise_sd sqrt(d / |drift|^3) about d / |drift|, which the band's time
  // scale no longer resolves (drift x boundary of 30 and more): at least
  // four steps across it at the default resolution, else the grid misses
  // the spike and the densities' sum passes 1 (ending the grid).
  const double speed = std::fabs(m.drift);
  if (!(speed > 0.0 && distance > 0.0)) return step;
  const double width = m.noise_sd * std::sqrt(distance / speed) / speed;
  return std::min(step, kSpikeSteps * r.relative_step * width);
}

double bound_half_width(const TimeVaryingModel& m, double t) {
  const double half = 0.5 * m.boundary;
  const BoundSpec& b = m.bound;
  switch (b.kind) {
    case BoundSpec::Kind::Constant:
      return half;
    case BoundSpec::Kind::Angle:
      return half - t * std::tan(b.theta);
    case BoundSpec::Kind::Weibull:
      return half * std::exp(-std::pow(t / b.scale, b.shape));
    case BoundSpec::Kind::Exponential:
      return half * std::exp(-b.rate * t);
    case BoundSpec::Kind::Hyperbolic:
      return half / (1.0 + b.rate * t);
  }
  return half;
}

double bound_slope(const TimeVaryingModel& m, double t) {
  const double half = 0.5 * m.boundary;
  const BoundSpec& b = m.bound;
  switch (b.kind) {
    case BoundSpec::Kind::Constant:
      return 0.0;
    case BoundSpec::Kind::Angle:
      return -std::tan(b.theta);
    case BoundSpec::Kind::Weibull: {
      if (t == 0.0) return b.shape > 1.0 ? 0.0 : (b.shape == 1.0 ? -half / b.scale : -kInfinity);
      const double power = std::pow(t / b.scale, b.shape);
      return -half * std::exp(-power) * b.shape * power / t;
    }
    case BoundSpec::Kind::Exponential:
      return -b.rate * half * std::exp(-b.rate * t);
    case BoundSpec::Kind::Hyperbolic: {
      const double denominator = 1.0 + b.rate * t;
      return -b.rate * half / (denominator * denominator);
    }
  }
  return 0.0;
}

Result<FptGrid, FptError> solve_first_passage(const TimeVaryingModel& m, const SolverResolution& r,
                                              const StopCheck& stop) {
  if (auto e = check_time_varying(m, r)) return unexpected(*e);
  const double dt = solver_step(m, r);
  std::size_t steps = static_cast<std::size_t>(std::floor(r.t_max / dt));
  // An angle bound that closes: stop at the last grid time before it does.
  std::vector<double> half_width;
  half_width.reserve(steps + 1);
  for (std::size_t k = 0; k <= steps; ++k) {
    const double b = bound_half_width(m, dt * static_cast<double>(k));
    if (!(b > 0.0)) break;
    half_width.push_back(b);
  }
  const std::size_t size = half_width.size();

  FptGrid grid;
  grid.dt = dt;
  grid.upper.assign(size, 0.0);
  grid.lower.assign(size, 0.0);
  grid.upper_free.assign(size, 0.0);
  grid.lower_free.assign(size, 0.0);
  grid.model = m;

  const Dynamics dyn{m.drift, m.noise_sd, m.leak, m.urgency};
  const bool homogeneous = m.urgency == 0.0;
  // Without urgency the transition depends on the lag alone: one per lag.
  std::vector<Transition> by_lag;
  if (homogeneous) {
    by_lag.reserve(size);
    by_lag.push_back({1.0, 0.0, 0.0, 0.0});  // lag 0 is never used
    for (std::size_t lag = 1; lag < size; ++lag) by_lag.push_back(dyn.over(0.0, dt * static_cast<double>(lag)));
  }

  double mass = 0.0;  // the densities' trapezoid sum so far, both bounds, in magnitude
  auto next_poll = std::chrono::steady_clock::now() + kStopPollInterval;
  for (std::size_t k = 1; k < size; ++k) {
    // A row's k kernel pairs cost far more than a clock read.
    if (stop && std::chrono::steady_clock::now() >= next_poll) {
      if (stop()) return unexpected(FptError::of(FptError::Kind::Interrupted));
      next_poll = std::chrono::steady_clock::now() + kStopPollInterval;
    }
    const double t = dt * static_cast<double>(k);
    const double b = half_width[k];
    const double slope = bound_slope(m, t);
    const double gain_drift = (1.0 + m.urgency * t) * m.drift;
    // S' - mu(S, t) at the upper bound S = b and the lower bound S = -b.
    const double d_upper = slope - (gain_drift - m.leak * b);
    const double d_lower = -slope - (gain_drift + m.leak * b);

    const FreeTerms free = free_terms(m, homogeneous ? by_lag[k] : dyn.over(0.0, t), t, b);
    grid.upper_free[k] = free.upper;
    grid.lower_free[k] = free.lower;

    // Trapezoid rule over (0, t): g vanishes at 0 and both kernels at t.
    double sum_upper = 0.0, sum_lower = 0.0;
    for (std::size_t j = 1; j < k; ++j) {
      const Transition tr = homogeneous ? by_lag[k - j] : dyn.over(dt * static_cast<double>(j), t - dt * static_cast<double>(j));
      const double yu = half_width[j];
      const double gu = grid.upper[j], gl = grid.lower[j];
      sum_upper += gu * kernel(tr, b, d_upper, yu) + gl * kernel(tr, b, d_upper, -yu);
      sum_lower += gu * kernel(tr, -b, d_lower, yu) + gl * kernel(tr, -b, d_lower, -yu);
    }
    // The trapezoid sum of the same-bound integrand, which grows like
    // c sqrt(t - tau) from tau = t, exceeds the integral by
    // zeta(-1/2) c g(t) dt^1.5 + O(dt^2.5) (Navot 1961); taking that term
    // off involves g(t) itself, hence the division.
    const double navot = kZetaMinusHalf * dt * std::sqrt(dt);
    const double c_upper = diagonal_slope(dyn, m, t, b, d_upper, 1.0);
    const double c_lower = diagonal_slope(dyn, m, t, -b, d_lower, -1.0);
    grid.upper[k] = (free.upper + 2.0 * dt * sum_upper) / (1.0 + 2.0 * navot * c_upper);
    grid.lower[k] = (free.lower - 2.0 * dt * sum_lower) / (1.0 - 2.0 * navot * c_lower);
    // Where the step cannot follow the walk (a strong leak, a band that
    // collapses within a few steps) the recursion's error grows without
    // bound once the mass has ended: past that point the grid would hold
    // densities of any size and either sign, which a fit climbs into. The
    // grid ends there.
    mass += 0.5 * dt * (std::abs(grid.upper[k - 1]) + std::abs(grid.lower[k - 1]) + std::abs(grid.upper[k]) +
                        std::abs(grid.lower[k]));
    if (!(mass <= 1.0 + kMassExcess)) {
      grid.upper.resize(k);
      grid.lower.resize(k);
      grid.upper_free.resize(k);
      grid.lower_free.resize(k);
      grid.ended_early = true;
      break;
    }
  }
  const std::size_t solved = grid.upper.size();
  grid.upper_integral.assign(solved, 0.0);
  grid.lower_integral.assign(solved, 0.0);
  running_integral(grid.upper, dt, grid.upper_integral);
  running_integral(grid.lower, dt, grid.lower_integral);
  return grid;
}

namespace {

// The density at decision time t, 0 < t <= the last grid time.
double density_at(const FptGrid& grid, bool choice, double t) {
  const TimeVaryingModel& m = grid.model;
  const Dynamics dyn{m.drift, m.noise_sd, m.leak, m.urgency};
  const FreeTerms free = free_terms(m, dyn.over(0.0, t), t, bound_half_width(m, t));
  return interpolate_density(choice ? grid.upper : grid.lower, choice ? grid.upper_free : grid.lower_free,
                             choice ? free.upper : free.lower, grid.dt, t);
}

// 5-point Gauss-Legendre on [-1, 1].
constexpr std::array<double, 5> kGaussX = {-0.906179845938663992798, -0.538469310105683091036, 0.0,
                                           0.538469310105683091036, 0.906179845938663992798};
constexpr std::array<double, 5> kGaussW = {0.236926885056189087514, 0.478628670499366468041, 128.0 / 225.0,
                                           0.478628670499366468041, 0.236926885056189087514};

// The density's integral over [a, b], within one grid step; the first
// step's in pieces shrinking by 4 towards 0, where the free term rises
// from nothing.
double step_mass(const FptGrid& grid, bool choice, double a, double b) {
  const auto gauss = [&](double lo, double hi) {
    double sum = 0.0;
    for (std::size_t i = 0; i < kGaussX.size(); ++i) {
      sum += kGaussW[i] * density_at(grid, choice, 0.5 * (lo + hi) + 0.5 * (hi - lo) * kGaussX[i]);
    }
    return 0.5 * (hi - lo) * sum;
  };
  if (a > 0.0 || !(b > 0.0)) return b > a ? gauss(a, b) : 0.0;
  double sum = 0.0;
  double upper = b;
  for (int k = 1; k <= 6; ++k) {
    const double cut = std::ldexp(b, -2 * k);
    sum += gauss(cut, upper);
    upper = cut;
  }
  return sum;  // below b / 4^6 the density is e^(-4^6 d^2 / 2 b) of its size at b
}

// The mass of one density up to decision time t, 0 <= t <= the last grid time.
double mass_to(const FptGrid& grid, bool choice, double t) {
  const std::vector<double>& mass = choice ? grid.upper_mass : grid.lower_mass;
  const std::size_t k = std::min(static_cast<std::size_t>(t / grid.dt), mass.size() - 1);
  const double node = grid.dt * static_cast<double>(k);
  return mass[k] + step_mass(grid, choice, node, t);
}

}  // namespace

void add_window_masses(FptGrid& grid) {
  for (const bool choice : {true, false}) {
    std::vector<double>& mass = choice ? grid.upper_mass : grid.lower_mass;
    const std::size_t size = (choice ? grid.upper : grid.lower).size();
    mass.assign(size, 0.0);
    for (std::size_t k = 1; k < size; ++k) {
      mass[k] = mass[k - 1] + step_mass(grid, choice, grid.dt * static_cast<double>(k - 1),
                                        grid.dt * static_cast<double>(k));
    }
  }
}

// A non-decision-time window (st) narrower than this many grid steps is
// taken as its centre.
constexpr double kPointWindow = 1e-3;

double grid_log_density(const FptGrid& grid, double rt, bool choice, double t0, double st) {
  const std::vector<double>& g = choice ? grid.upper : grid.lower;
  if (g.size() < 2 || std::isnan(rt)) return kNegInf;
  const double last = grid.dt * static_cast<double>(g.size() - 1);
  const double t = rt - t0;
  // A window far narrower than a step is its centre: the running integral's
  // difference over it would be rounding (0 below the doubles' spacing),
  // while the density's curvature moves its mean by about (st/dt)^2 of it.
  if (st < kPointWindow * grid.dt) {
    if (!(t > 0.0) || t > last) return kNegInf;
    return std::log(density_at(grid, choice, t));
  }
  const double lo = t - 0.5 * st, hi = t + 0.5 * st;
  if (!(hi > 0.0) || lo > last) return kNegInf;
  // The window's mass from the interpolated density: the running integral's
  // cubic misses the leading edge's rise over a few steps (12% off at 2% of
  // the peak with st 0.02 at the default step).
  const double mass = mass_to(grid, choice, std::min(hi, last)) - mass_to(grid, choice, std::max(lo, 0.0));
  return std::log(std::max(0.0, mass) / st);
}

double grid_window_mass(const FptGrid& grid, double lo, double hi) {
  const std::size_t size = grid.upper_integral.size();
  if (size < 2) return 0.0;
  const double last = grid.dt * static_cast<double>(size - 1);
  const TimeVaryingModel& m = grid.model;
  const bool closed = grid.ended_early || (m.bound.kind == BoundSpec::Kind::Angle && m.bound.theta > 0.0 &&
                                            bound_half_width(m, last + grid.dt) <= 0.0);
  const auto ended_by = [&](double t) {
    if (closed && t > last) return 1.0;
    const double by = interpolate_integral(grid.upper_integral, grid.dt, t) +
                      interpolate_integral(grid.lower_integral, grid.dt, t);
    if (!(t > last)) return by;
    // Past the grid the mass left decays about exponentially, at the rate
    // the densities at its end give it.
    const double left = 1.0 - by;
    const double density = grid.upper.back() + grid.lower.back();
    if (!(left > 0.0 && density > 0.0)) return by;
    return by - left * std::expm1(-(density / left) * (t - last));
  };
  const double before = ended_by(lo);
  const double mass = std::isinf(hi) ? 1.0 - before : ended_by(hi) - before;
  return std::clamp(mass, 0.0, 1.0);
}

}  // namespace corvatel
