// The per-step tables of the walk between time-varying bounds
// (simulate_bounds.h defines the walk, walk.h's BoundsTables describes
// them), built once per batch and shared by every trial. Internal to the
// core: callers use simulate_bounds.h.
#pragma once

#include <vector>

#include "corvatel/internal/walk.h"
#include "corvatel/parameters.h"
#include "corvatel/simulate_bounds.h"

namespace corvatel::internal {

class BoundsStepTables {
 public:
  // For arguments that pass check_bounds_walk. Throws std::bad_alloc.
  BoundsStepTables(const ModelParams& params, const BoundsWalk& walk);
  BoundsStepTables(const BoundsStepTables&) = delete;
  BoundsStepTables& operator=(const BoundsStepTables&) = delete;

  const BoundsTables& view() const { return view_; }

 private:
  std::vector<double> entry_, time_;
  BoundsTables view_;
};

}  // namespace corvatel::internal
