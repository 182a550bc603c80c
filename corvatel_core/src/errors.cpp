#include "corvatel/errors.h"

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
  }
  return {};
}

}  // namespace corvatel
