// Closed-form EZ-diffusion estimates (Wagenmakers, van der Maas & Grasman,
// 2007, "An EZ-diffusion model for response time and accuracy") of drift,
// boundary separation and non-decision time from the accuracy and the mean
// and variance of correct response times, with the fixed start and noise of
// recovery (params.h).
#pragma once

#include <span>

#include "corvatel/errors.h"
#include "corvatel/params.h"
#include "corvatel/result.h"
#include "corvatel/stats.h"

namespace corvatel {

// The estimate from the statistics, or the first check that fails. Estimates
// are not validated further: t0 may be negative, degenerate statistics give
// non-finite values.
Result<Params, EzError> ez_from_stats(const SummaryStats& stats);

// The same from trials, counted once: when they have no statistics, the
// error says which count falls short.
Result<Params, EzError> ez_diffusion(std::span<const Trial> trials);
Result<Params, EzError> ez_diffusion(const ObservedTrials& trials);

// Where the simulation fit starts when the caller gives no guess: the EZ
// estimate when there is one, else drift 1, boundary 1, t0 0.2.
Params default_fit_guess(std::span<const Trial> trials);
Params default_fit_guess(const std::optional<SummaryStats>& stats);

}  // namespace corvatel
