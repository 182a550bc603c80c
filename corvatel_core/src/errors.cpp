#include "corvatel/errors.h"

#include "corvatel/project.h"

namespace corvatel {

std::string EzError::message() const {
  switch (kind_) {
    case Kind::NotEnoughData:
      return "not enough data: " + std::to_string(count_) + " non-timed-out trial(s), need at least 2";
    case Kind::NotEnoughCorrect:
      return "not enough correct responses: " + std::to_string(count_) +
             " upper-boundary trial(s), need at least 2 to form RT statistics";
    case Kind::ChanceAccuracy:
      return "accuracy is exactly 0.5; drift rate is not identifiable from chance performance";
    case Kind::NonPositiveVariance:
      return "the RT variance of correct responses is not positive; cannot recover parameters";
    case Kind::NoRealSolution:
      return "the EZ-diffusion equations have no real solution for these summary statistics";
  }
  return {};
}

std::string SolverError::message() const {
  if (kind_ == Kind::PotentialBug) {
    return "Potential bug: \"" + text_ + "\". This is potentially a bug. Please file a report on " +
           kIssueTrackerUrl;
  }
  return "Invalid parameter: \"" + text_ + "\"";
}

std::string FitError::message() const {
  switch (kind_) {
    case Kind::NoUsableTarget:
      return "target data has no usable trials, or fewer than two upper-boundary trials";
    case Kind::NoSolution:
      return "the optimizer did not produce a solution";
    case Kind::Optimizer:
      return "optimizer error: " + text_;
    case Kind::Interrupted:
      return "the fit was interrupted";
    case Kind::TooFewTrials:
      return "a maximum-likelihood fit needs at least " + std::to_string(trials_needed_) + " trials per level; got " +
             std::to_string(trials_);
    case Kind::BadResponseTime:
      return "response times must be positive and finite";
    case Kind::NoLevels:
      return "a joint fit needs at least one level";
    case Kind::NoFiniteLikelihood:
      return "no parameters within the bounds give the data a finite likelihood";
    case Kind::ConstantResponseTimes:
      return "the response times are all equal (zero variance); no diffusion model describes them";
    case Kind::OutsideTruncation:
      return "a response time lies outside rt_window; the truncated likelihood is of trials inside it";
  }
  return {};
}

}  // namespace corvatel
