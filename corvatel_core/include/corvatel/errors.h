// The core's failures, as values: ParamError for arguments outside the
// model's domain (parameters.h), EzError from the closed-form estimator,
// SolverError from the Nelder-Mead minimiser (neldermead.h), FitError from
// the fits that run it (the simulation fit, the likelihood fits). Each
// yields the exact text that Python users see: ParamError in ValueError,
// the others in CorvatelError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace corvatel {

enum class Param : std::size_t;  // parameters.h

class ParamError {
 public:
  enum class Kind {
    Range,               // outside its range: "boundary must be positive"
    NotFinite,           // "boundary must be finite"
    StartWindow,         // start -+ sz/2 outside [0, 1]
    T0Window,            // st > 2 t0
    DensityStart,        // a density's start on the band's edge
    DensityStartWindow,  // a density's start window touching the edge
    WalkRange,           // simulate's own wording: "boundary must be > 0"
    Rt,                  // a NaN response time given to a density
    OutlierWindow,       // a contaminant window that is not 0 <= lo < hi, finite
    RtWindow,            // a truncation window that is not 0 <= lo < hi
  };

  static ParamError range(Param p) { return {Kind::Range, p}; }
  static ParamError not_finite(Param p) { return {Kind::NotFinite, p}; }
  static ParamError start_window();
  static ParamError t0_window();
  static ParamError density_start();
  static ParamError density_start_window();
  static ParamError walk_range(Param p) { return {Kind::WalkRange, p}; }
  static ParamError rt();
  static ParamError outlier_window();
  static ParamError rt_window();

  Kind kind() const { return kind_; }
  Param param() const { return param_; }
  // The argument at fault, as the Python functions name it.
  const char* argument() const;
  std::string message() const;

  friend bool operator==(const ParamError&, const ParamError&) = default;

 private:
  ParamError(Kind kind, Param param) : kind_(kind), param_(param) {}
  Kind kind_;
  Param param_;
};

class EzError {
 public:
  enum class Kind { NotEnoughData, NotEnoughCorrect, ChanceAccuracy, NonPositiveVariance, NoRealSolution };

  static EzError not_enough_data(std::uint64_t n_valid) { return {Kind::NotEnoughData, n_valid}; }
  static EzError not_enough_correct(std::uint64_t n_upper) { return {Kind::NotEnoughCorrect, n_upper}; }
  static EzError chance_accuracy() { return {Kind::ChanceAccuracy, 0}; }
  static EzError non_positive_variance() { return {Kind::NonPositiveVariance, 0}; }
  static EzError no_real_solution() { return {Kind::NoRealSolution, 0}; }

  Kind kind() const { return kind_; }
  // The trial count carried by NotEnoughData and NotEnoughCorrect.
  std::uint64_t count() const { return count_; }
  std::string message() const;

  friend bool operator==(const EzError&, const EzError&) = default;

 private:
  EzError(Kind kind, std::uint64_t count) : kind_(kind), count_(count) {}
  Kind kind_;
  std::uint64_t count_;
};

// Why a minimiser run ended without a result.
class SolverError {
 public:
  // PotentialBug: the costs fitted none of the moves (a NaN got in).
  // InvalidParameter: a simplex that cannot be searched.
  enum class Kind { PotentialBug, InvalidParameter };

  static SolverError potential_bug() { return {Kind::PotentialBug, "`NelderMead`: Reached unreachable point."}; }
  static SolverError too_few_vertices() {
    return {Kind::InvalidParameter, "`NelderMead`: the simplex needs at least 2 vertices."};
  }
  static SolverError unequal_points() {
    return {Kind::InvalidParameter, "`NelderMead`: the points need the same, nonzero number of coordinates."};
  }

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  std::string message() const;

  friend bool operator==(const SolverError&, const SolverError&) = default;

 private:
  SolverError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

class FitError {
 public:
  enum class Kind {
    NoUsableTarget,      // the simulation fit's data have no statistics
    NoSolution,          // the minimiser accepted no cost
    Optimizer,           // the minimiser failed (its SolverError's text)
    Interrupted,         // the caller's stop check asked the fit to end
    TooFewTrials,        // a likelihood fit's level has fewer trials than it needs
    BadResponseTime,     // a response time that is not positive and finite
    NoLevels,            // a joint likelihood fit of no levels
    NoFiniteLikelihood,  // no point of the search gives the data a finite likelihood
    ConstantResponseTimes,  // a level's response times are all equal: no diffusion model has that
    OutsideTruncation,   // a response time outside the window the likelihood is truncated to
  };

  static FitError no_usable_target() { return {Kind::NoUsableTarget}; }
  static FitError no_solution() { return {Kind::NoSolution}; }
  static FitError optimizer(std::string text) { return {Kind::Optimizer, std::move(text)}; }
  static FitError interrupted() { return {Kind::Interrupted}; }
  static FitError too_few_trials(std::uint64_t have, std::uint64_t need) {
    return {Kind::TooFewTrials, {}, have, need};
  }
  static FitError bad_response_time() { return {Kind::BadResponseTime}; }
  static FitError no_levels() { return {Kind::NoLevels}; }
  static FitError no_finite_likelihood() { return {Kind::NoFiniteLikelihood}; }
  static FitError constant_response_times() { return {Kind::ConstantResponseTimes}; }
  static FitError outside_truncation() { return {Kind::OutsideTruncation}; }

  Kind kind() const { return kind_; }
  // The minimiser's own text, carried by Optimizer.
  const std::string& text() const { return text_; }
  // The trials a level has and the trials it needs, carried by TooFewTrials.
  std::uint64_t trials() const { return trials_; }
  std::uint64_t trials_needed() const { return trials_needed_; }
  std::string message() const;

  friend bool operator==(const FitError&, const FitError&) = default;

 private:
  FitError(Kind kind, std::string text = {}, std::uint64_t trials = 0, std::uint64_t trials_needed = 0)
      : kind_(kind), text_(std::move(text)), trials_(trials), trials_needed_(trials_needed) {}
  Kind kind_;
  std::string text_;
  std::uint64_t trials_;
  std::uint64_t trials_needed_;
};

}  // namespace corvatel
