// Where the likelihood fits' parameters live in the search vector, and the
// logistic transforms between search coordinates and parameters (ml_fit.h
// says which bounds). Internal to the fits; tests reach it directly.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "corvatel/ml_fit.h"

namespace corvatel::internal {

class SearchLayout {
 public:
  // The model's fitted parameters in kParams order; a parameter free per
  // level takes one coordinate per level (level order), a shared one a
  // single coordinate; p_outlier among them when `contaminants` frees it,
  // else fixed at their value.
  SearchLayout(LikelihoodModel model, std::span<const ObservedTrials> levels, const PerLevel& per_level,
               const Contaminants& contaminants = {});

  std::size_t dim() const { return dim_; }
  // Level l's bound on t0 - st/2: the fastest response of its own trials
  // when t0 is free per level, of all levels' when it is shared.
  double t0_bound(std::size_t level) const { return t0_bound_[level]; }

  // Level l's parameters at search point y.
  ModelParams decode(std::span<const double> y, std::size_t level) const;

  // The search point of one parameter set per level; a shared parameter's
  // coordinate is the mean of the levels' coordinates.
  std::vector<double> encode(std::span<const ModelParams> params) const;

  // The coordinate of parameter `param` of level `level`; dim() when the
  // parameter is not searched.
  std::size_t coordinate(Param param, std::size_t level) const;

 private:
  std::span<const Param> fitted_;
  std::vector<std::vector<std::size_t>> slot_;  // [level][index in fitted_]
  std::size_t dim_ = 0;
  std::vector<double> t0_bound_;
  double fixed_p_outlier_ = 0.0;
};

}  // namespace corvatel::internal
