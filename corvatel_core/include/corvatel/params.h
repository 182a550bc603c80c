// The records the whole system passes around: the five parameters of the
// drift-diffusion model and the outcome of one simulated or observed trial.
#pragma once

namespace corvatel {

// Model parameters. The core checks no ranges: every value, non-finite ones
// included, leads to a defined trial; callers validate what they accept.
struct Params {
  double drift;     // mean change of evidence per second
  double boundary;  // upper absorbing boundary; the lower one is 0
  double start;     // starting point as a fraction of `boundary`
  double t0;        // non-decision time in seconds, added to every rt
  double noise_sd;  // standard deviation of the evidence change over 1 s
};

// Recovery assumes an unbiased start and unit noise: the estimators return
// these and never fit them.
inline constexpr double kRecoveryStart = 0.5;
inline constexpr double kRecoveryNoiseSd = 1.0;

struct Trial {
  bool choice;     // the walk ended in the upper half: it hit the upper boundary
  double rt;       // seconds, t0 included
  bool timed_out;  // still strictly inside the band when the 10 s cap ended it
};

}  // namespace corvatel
