// The failures of parameter recovery, as values: EzError from the closed-form
// estimator, FitError from the simulation fit and its minimiser. Each yields
// the exact text that Python users see in CorvatelError.
#pragma once

#include <cstdint>
#include <string>

namespace corvatel {

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

class FitError {
 public:
  enum class Kind { NoUsableTarget, NoSolution, Optimizer, Interrupted };

  static FitError no_usable_target() { return {Kind::NoUsableTarget, {}}; }
  static FitError no_solution() { return {Kind::NoSolution, {}}; }
  static FitError optimizer(std::string text) { return {Kind::Optimizer, std::move(text)}; }
  // The caller's stop check asked the fit to end.
  static FitError interrupted() { return {Kind::Interrupted, {}}; }

  Kind kind() const { return kind_; }
  // The minimiser's own text, carried by Optimizer.
  const std::string& text() const { return text_; }
  std::string message() const;

  friend bool operator==(const FitError&, const FitError&) = default;

 private:
  FitError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

}  // namespace corvatel
