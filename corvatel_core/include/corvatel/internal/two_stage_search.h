// The two Nelder-Mead stages of the simulation fit and the choice between
// them, for any cost: the fit runs them on its simulated cost, and tests on
// costs made to reach each rule.
#pragma once

#include <cstdint>

#include "corvatel/neldermead.h"
#include "corvatel/sim_fit.h"

namespace corvatel::internal {

// Stage settings: relative step and its minimum.
inline constexpr double kCoarseRel = 0.15;
inline constexpr double kCoarseMinStep = 0.05;
inline constexpr double kFineRel = 0.05;
inline constexpr double kFineMinStep = 0.02;

// Stage 1 from the simplex around `start` with stage1_budget(max_iters);
// stage 2 around stage 1's best with what stage 1 used of max_iters left.
// Stage 2 wins only with a strictly lower cost (ties and NaN keep stage 1);
// the iterations are those of both stages. A cost that can be told to stop
// ends the search after the stage it stopped in.
template <CostFunction F>
Result<NelderMeadFit, FitError> two_stage_search(const F& cost, const FitPoint& start, std::uint64_t max_iters) {
  const auto coarse = run_neldermead(cost, simplex_around(start, kCoarseRel, kCoarseMinStep), stage1_budget(max_iters));
  if (!coarse) return coarse;
  const NelderMeadFit& first = coarse.value();
  if constexpr (requires { cost.stopped(); }) {
    if (cost.stopped()) return first;
  }

  const auto fine = run_neldermead(cost, simplex_around(first.point, kFineRel, kFineMinStep),
                                   stage2_budget(max_iters, first.iterations));
  if (!fine) return fine;
  const NelderMeadFit& second = fine.value();

  const NelderMeadFit& chosen = first.cost > second.cost ? second : first;
  return NelderMeadFit{chosen.point, chosen.cost, first.iterations + second.iterations};
}

}  // namespace corvatel::internal
