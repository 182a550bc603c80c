// First-passage time densities of a diffusion between time-varying bounds,
// at both bounds, by the integral-equation method of Buonocore, Nobile &
// Ricciardi (1987), Adv. Appl. Prob. 19, 784-800, in its two-boundary form
// (Buonocore, Giorno, Nobile & Ricciardi (1990), J. Appl. Prob. 27, 102-114;
// Smith (2000), J. Math. Psychol. 44, 408-463).
//
// The model, in a coordinate x whose 0 is the middle of the band:
//
//   dX = (g(t) v - leak X) dt + g(t) sigma dW,   g(t) = 1 + urgency t,
//
// started at x0 = (start - 1/2) boundary, or uniform on x0 -+ sz boundary / 2,
// absorbed at the upper bound B(t) and the lower bound -B(t), B(0) = a/2
// (a = boundary). The urgency gain multiplies the drift and the noise; the
// leak pulls toward the middle of the band and is not scaled by the gain.
// Bounds:
//   Constant     B(t) = a/2
//   Angle        B(t) = a/2 - t tan(theta)          (linear collapse, theta > 0)
//   Weibull      B(t) = a/2 exp(-(t/scale)^shape)    (a Weibull survival function
//                                                     times the initial half-width)
//   Exponential  B(t) = a/2 exp(-rate t)
//   Hyperbolic   B(t) = a/2 / (1 + rate t)
// An angle bound with theta > 0 meets the middle at t* = a / (2 tan theta).
// A path leaves a band closing linearly before t* almost surely (its
// fluctuations, of order sqrt(t* - t), outrun the width 2 (t* - t) tan theta),
// so no mass is left at t*: the grid ends at the last step before t* and the
// densities are 0 from there on.
//
// The process has Gaussian transitions: from y at time tau, X(t) is normal
// with mean y e^{-leak s} + v int_tau^t g(r) e^{-leak (t-r)} dr and variance
// sigma^2 int_tau^t g(r)^2 e^{-2 leak (t-r)} dr, s = t - tau; both integrals
// are closed forms. With F the transition distribution function and f its
// density, the kernel
//
//   Psi_S(t | y, tau) = d/dt F(S(t), t | y, tau) + k_S(t) f(S(t), t | y, tau),
//   k_S(t) = -(S'(t) - (g(t) v - leak S(t))) / 2,
//
// vanishes as tau -> t along the bound S, and the densities g_u, g_l solve
//
//   g_u(t) = -2 Psi_u(t|x0,0) + 2 int_0^t [g_u Psi_u(t|u(tau),tau) + g_l Psi_u(t|l(tau),tau)] dtau
//   g_l(t) =  2 Psi_l(t|x0,0) - 2 int_0^t [g_u Psi_l(t|u(tau),tau) + g_l Psi_l(t|l(tau),tau)] dtau
//
// (Psi_u uses S = u = B, Psi_l uses S = l = -B). The uniform start enters
// only through the first term, whose average over x0 is a closed form: sz
// costs nothing. The integrals are taken by the trapezoid rule on the grid
// t_k = k dt, each density value following from the earlier ones (no
// system to solve). Error: the free term is exact. Where the same-bound
// kernel vanishes (a constant bound without leak or urgency) every
// integrand is flat at both ends (g at 0, the other bound's kernel at t), and
// the trapezoid rule converges faster than any power of dt (about as
// exp(-c boundary^2 / (noise_sd^2 dt))). Otherwise the same-bound integrand
// grows like c sqrt(t - tau) from tau = t and the rule's error expands in
// dt^1.5, dt^2.5, ... (Navot (1961), J. Math. and Phys. 40, 271-276); the
// dt^1.5 term, zeta(-1/2) c g(t) dt^1.5, is taken off (c extrapolated from
// two kernel values next to the diagonal), which leaves an error of order
// dt^2.5. Work: 4 kernel values (an exp each) per pair of grid times,
// (t_max/dt)^2 / 2 pairs; with urgency each pair also builds its transition.
//
// Between grid times, grid_log_density takes the exact free term at t times
// the cubic interpolant of g / (free term) in log space through the 4
// nearest grid values (the ratio is near 1 on the steep leading edge, and
// smooth after it: error of order dt^4); where a free term is not positive,
// the cubic in log g; where a density is not positive, linear in g. Non-decision time: the
// decision time is rt - t0; a uniform st averages the density over
// [rt - t0 - st/2, rt - t0 + st/2] by integrating that interpolant (a
// 5-point Gauss rule per grid step), so that the average is as accurate as
// the density, on the leading edge too.
//
// Every computation runs in a fixed order on one thread: the same arguments
// give the same bits.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "corvatel/errors.h"
#include "corvatel/result.h"
#include "corvatel/worker_pool.h"

namespace corvatel {

struct BoundSpec {
  enum class Kind { Constant, Angle, Weibull, Exponential, Hyperbolic };
  Kind kind = Kind::Constant;
  double theta = 0.0;  // Angle: radians in (-pi/2, pi/2); negative widens the band
  double shape = 1.0;  // Weibull: positive
  double scale = 1.0;  // Weibull: positive (seconds)
  double rate = 0.0;   // Exponential, Hyperbolic: non-negative (per second)
};

// drift, boundary, start, noise_sd and sz mean what they mean in ModelParams
// and are checked by its table (as for a density); leak (per second) and
// urgency (per second) are non-negative.
struct TimeVaryingModel {
  double drift = 0.0;
  double boundary = 1.0;
  double start = 0.5;
  double noise_sd = 1.0;
  double sz = 0.0;
  double leak = 0.0;
  double urgency = 0.0;
  BoundSpec bound;
};

// The grid step is relative_step times the band's diffusion time
// (w / noise_sd)^2, w the boundary or twice the start's distance to the
// nearer bound if smaller (the leading edge there rises on that scale), so
// that one setting gives the same accuracy at every scale; with a strong
// drift it is at most (36 relative_step) times the width of the spike in
// which the decisions end (solver_step). The default, 1/144 (6.9 ms for boundary 1 and noise 1), keeps
// the relative error below 1e-4 over the bulk of the densities (where they
// exceed 1% of their peak) and 1/576 below 1e-6 (fpt_solver_test.cpp
// measures both). The step follows the band's initial width: where a
// collapse narrows the band to a small part of it within the times asked
// for, the error there grows (an angle of 1 rad closing a band of 1.5 at
// 0.48 s: 9% at 0.43 s, where the band is an eighth as wide, 0.1% at 1/576).
// Where the step cannot follow the walk at all (a leak far faster than it,
// a band that collapses within a few steps) the error grows without bound
// once the mass has ended; the grid ends where the densities' sum passes 1.
// t_max is the last decision time the grid covers (seconds).
struct SolverResolution {
  double relative_step = 1.0 / 144.0;
  double t_max = 5.0;
};

// The most grid steps a solve takes (t_max / dt); the work grows as its square.
inline constexpr double kMaxSolverSteps = 100000.0;
// The coarsest relative_step: the densities' error grows about as the step's
// square (3% in log density at 1/16 in the tail, 2 at 1/4 on the rise).
inline constexpr double kMaxRelativeStep = 1.0 / 16.0;

// The step a resolution gives for a model.
double solver_step(const TimeVaryingModel& m, const SolverResolution& r);

// Densities of decision time at the grid times k dt, k = 0 .. size - 1, at
// the upper and the lower bound.
// upper_integral and lower_integral are their running integrals (for the
// masses of response windows: trapezoid sums with the Euler-Maclaurin end
// correction), upper_free and lower_free the equations' free terms (for the
// interpolation), `model` the model solved.
struct FptGrid {
  double dt = 0.0;
  std::vector<double> upper, lower;
  std::vector<double> upper_integral, lower_integral;
  std::vector<double> upper_free, lower_free;
  // For a window of non-decision times (add_window_masses): each density's
  // mass up to each grid time, integrated from the interpolated density.
  std::vector<double> upper_mass, lower_mass;
  TimeVaryingModel model;
  // Cut where the densities' sum passed 1 (the recursion had become
  // unstable): no density lies past the last time, and no mass is left.
  bool ended_early = false;
};

class FptError {
 public:
  enum class Kind {
    Model,       // drift, boundary, start, noise_sd or sz: their ParamError
    Theta,       // "theta must be in (-pi/2, pi/2)"
    Shape,       // "shape must be positive and finite"
    Scale,       // "scale must be positive and finite"
    Rate,        // "rate must be non-negative and finite"
    Leak,        // "leak must be non-negative and finite"
    Urgency,     // "urgency must be non-negative and finite"
    Resolution,  // relative_step, t_max not positive and finite, or too many steps
    Interrupted,  // the caller's stop check said stop
  };

  static FptError model(const ParamError& e) { return {Kind::Model, e}; }
  static FptError of(Kind kind) { return {kind, std::nullopt}; }

  Kind kind() const { return kind_; }
  // The table's error, carried by Model.
  const std::optional<ParamError>& param_error() const { return param_error_; }
  std::string message() const;

  friend bool operator==(const FptError&, const FptError&) = default;

 private:
  FptError(Kind kind, std::optional<ParamError> e) : kind_(kind), param_error_(std::move(e)) {}
  Kind kind_;
  std::optional<ParamError> param_error_;
};

// The first argument that breaks its rule: the table's parameters, then
// theta, shape, scale, rate (only those the bound's kind uses), leak,
// urgency, the resolution.
[[nodiscard]] std::optional<FptError> check_time_varying(const TimeVaryingModel& m, const SolverResolution& r);
// Theta, shape, scale, rate (those the bound's kind uses), leak and urgency
// alone, in that order: what a simulation, which has no grid and takes any
// start in [0, 1], shares with the solver.
[[nodiscard]] std::optional<FptError> check_bound_terms(const TimeVaryingModel& m);

// The half-width B(t) of the band and its time derivative.
double bound_half_width(const TimeVaryingModel& m, double t);
double bound_slope(const TimeVaryingModel& m, double t);

// Both densities at the grid times from 0 to t_max (or to the last one
// before an angle bound closes). `stop` is asked on this thread every
// kStopPollInterval (a long grid takes minutes); a stop fails the solve
// with Interrupted.
Result<FptGrid, FptError> solve_first_passage(const TimeVaryingModel& m,
                                              const SolverResolution& r = SolverResolution{},
                                              const StopCheck& stop = {});

// Fills the grid's upper_mass and lower_mass, which grid_log_density's
// average over a window of non-decision times reads: the interpolated
// density integrated step by step (5 of its values a step), which follows
// the leading edge where the running integrals' cubic does not.
void add_window_masses(FptGrid& grid);

// log density of (rt, choice) from the grid: decision time rt - t0, averaged
// over a uniform non-decision time of width st (t0, st >= 0, st <= 2 t0;
// with st > 0 the grid needs add_window_masses first). -inf before the
// first grid time and after the last.
double grid_log_density(const FptGrid& grid, double rt, bool choice, double t0, double st);

// The probability that a decision ends (at either bound) between decision
// times lo and hi of the grid: the running integrals' difference, and for
// hi = +inf 1 less what ended by lo. A time past the grid's end counts all
// of the mass when the band closed there (an angle bound), else what the
// grid holds and the part of the rest that an exponential tail, at the rate
// of the densities at the grid's end, puts before it (an approximation: a
// grid that reaches well past the bulk makes it small).
double grid_window_mass(const FptGrid& grid, double lo, double hi);

}  // namespace corvatel
