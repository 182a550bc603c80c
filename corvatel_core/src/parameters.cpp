#include "corvatel/parameters.h"

#include <cmath>
#include <cstdio>

namespace corvatel {

namespace {

double value_of(const ModelParams& p, Param param) { return p.*(param_row(param).field); }

// A bound as messages print it: 0, 1, 0.5.
std::string number(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", x);
  return text;
}

// "> 0", ">= 0", "in [0, 1]": the range as a comparison.
std::string as_comparison(const Interval& r) {
  if (std::isinf(r.hi)) return (r.lo_closed ? ">= " : "> ") + number(r.lo);
  return std::string("in ") + (r.lo_closed ? "[" : "(") + number(r.lo) + ", " + number(r.hi) +
         (r.hi_closed ? "]" : ")");
}

}  // namespace

ParamError ParamError::start_window() { return {Kind::StartWindow, Param::Sz}; }
ParamError ParamError::t0_window() { return {Kind::T0Window, Param::St}; }
ParamError ParamError::density_start() { return {Kind::DensityStart, Param::Start}; }
ParamError ParamError::density_start_window() { return {Kind::DensityStartWindow, Param::Sz}; }
ParamError ParamError::rt() { return {Kind::Rt, Param::Drift}; }
ParamError ParamError::outlier_window() { return {Kind::OutlierWindow, Param::POutlier}; }
ParamError ParamError::rt_window() { return {Kind::RtWindow, Param::T0}; }

const char* ParamError::argument() const {
  if (kind_ == Kind::Rt) return "rt";
  if (kind_ == Kind::OutlierWindow) return "outlier_window";
  if (kind_ == Kind::RtWindow) return "rt_window";
  return param_row(param_).name;
}

std::string ParamError::message() const {
  const std::string name = argument();
  switch (kind_) {
    case Kind::Range: return name + " must be " + param_row(param_).phrase;
    case Kind::NotFinite: return name + " must be finite";
    case Kind::StartWindow: return "sz must keep start - sz/2 and start + sz/2 within 0 and 1";
    case Kind::T0Window: return "st must be at most 2 * t0";
    case Kind::DensityStart: return "start must be strictly between 0 and 1";
    case Kind::DensityStartWindow: return "sz must keep start - sz/2 and start + sz/2 strictly between 0 and 1";
    case Kind::WalkRange: return name + " must be " + as_comparison(param_row(param_).range);
    case Kind::Rt: return "rt must not be NaN";
    case Kind::OutlierWindow: return "outlier_window must be (lo, hi) with 0 <= lo < hi, both finite";
    case Kind::RtWindow: return "rt_window must be (lo, hi) with 0 <= lo < hi (hi may be infinite)";
  }
  return {};
}

std::optional<ParamError> check_params(const ModelParams& p, ParamUse use) {
  const bool density = use == ParamUse::Density;
  for (const ParamRow& s : kParams) {
    const double x = p.*(s.field);
    if (!s.range.contains(x)) return ParamError::range(s.param);
    if (!std::isfinite(x)) return ParamError::not_finite(s.param);
    switch (s.param) {
      case Param::Start:
        if (density && !(p.start > 0.0 && p.start < 1.0)) return ParamError::density_start();
        break;
      case Param::Sz: {
        const double low = p.start - p.sz / 2.0;
        const double high = p.start + p.sz / 2.0;
        if (!(low >= 0.0 && high <= 1.0)) return ParamError::start_window();
        if (density && !(low > 0.0 && high < 1.0)) return ParamError::density_start_window();
        break;
      }
      case Param::St:
        if (!(p.st <= 2.0 * p.t0)) return ParamError::t0_window();
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

std::optional<ParamError> check_walk_ranges(const Params& p) {
  const ModelParams m{p.drift, p.boundary, p.start, p.t0, p.noise_sd};
  for (const Param param : {Param::Boundary, Param::Start, Param::T0, Param::NoiseSd}) {
    if (!param_row(param).range.contains(value_of(m, param))) return ParamError::walk_range(param);
  }
  return std::nullopt;
}

std::optional<ParamError> check_outlier_window(const OutlierWindow& window) {
  if (!(std::isfinite(window.lo) && std::isfinite(window.hi) && window.lo >= 0.0 && window.lo < window.hi)) {
    return ParamError::outlier_window();
  }
  return std::nullopt;
}

}  // namespace corvatel
