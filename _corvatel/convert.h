// Conversions between Python objects and the core's records: the observed
// data arrays, the trials made from them, and the parameter dict.
//
// Every function here runs with the interpreter lock held. On failure each
// returns an empty value with a Python exception set.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvatel/ml_fit.h"
#include "corvatel/parameters.h"
#include "corvatel/params.h"
#include "corvatel/stats.h"
#include "pyref.h"

namespace corvatel::py {

enum class ArrayKind { Bool, Float64 };

// The argument as a one-dimensional bool or float64 ndarray (subclasses
// included), as a new reference; otherwise TypeError with a note naming it.
PyRef array_argument(PyObject* obj, ArrayKind kind, const char* name);

// All elements of an accepted array, read in place without a copy. A
// non-empty array must be contiguous and aligned (ValueError otherwise).
std::optional<std::span<const std::uint8_t>> bool_slice_of(PyObject* array, const char* name);
std::optional<std::span<const double>> float_slice_of(PyObject* array, const char* name);

// The two arrays as observed trials, read in place: valid only while the
// lock is held and no Python code runs. Both are checked again here, with
// the errors array_argument gives, since code run since that check (a
// conversion's __index__ or __float__) may have reshaped or retyped them;
// then slice_of for each, and ValueError when the lengths differ.
std::optional<ObservedTrials> observed_trials(PyObject* choices, PyObject* rts);

// The joint fits' levels: `level_sizes`, a sequence of counts, and the
// trials cut into pieces of those sizes, one after another (ValueError
// unless the sizes add up to the number of trials).
std::optional<std::vector<std::uint64_t>> level_sizes_argument(PyObject* obj);
std::optional<std::vector<ObservedTrials>> split_levels(const ObservedTrials& trials,
                                                        std::span<const std::uint64_t> sizes);

// A new dict with the five parameter keys, in their fixed order.
PyRef params_to_dict(const Params& params);

namespace detail {
bool model_params_from(const char* const* names, PyObject* const* args, std::size_t count, ModelParams& out);
}

// The model's parameters among a function's arguments, matched by name and
// converted in table order; one the call left out (nullptr) takes its
// default. False, with the converter's error noted against the argument,
// when one does not convert.
template <std::size_t N>
bool model_params_from(const std::array<const char*, N>& names, const std::array<PyObject*, N>& args,
                       ModelParams& out) {
  return detail::model_params_from(names.data(), args.data(), N, out);
}

// The contaminants' window (lo, hi): a sequence of two numbers, or the
// default when the call left it out (nullptr). TypeError naming
// outlier_window for anything else, ValueError with the core's message for
// a window check_outlier_window refuses.
std::optional<OutlierWindow> outlier_window_argument(PyObject* obj);
// Any pair of numbers (lo, hi), as `name`; TypeError for anything else.
std::optional<std::pair<double, double>> window_argument(PyObject* obj, const char* name);
// p_outlier (a number, or "free"; omitted: 0) and outlier_window, as the
// likelihood fits take them; ValueError for a value the core refuses.
std::optional<Contaminants> contaminants_argument(PyObject* p_outlier, PyObject* window_obj);
// rt_window: (lo, hi), the window the trials were selected in; omitted or
// None, none.
std::optional<Truncation> truncation_argument(PyObject* obj);

using ParamMap = std::unordered_map<std::string, double>;

// None gives no map; a dict (or subclass) gives every item as string -> float.
// Returns false, with the error noted against `name`, otherwise.
bool dict_argument(PyObject* obj, const char* name, std::optional<ParamMap>& out);

// Params from the map: drift_rate, boundary_separation and non_decision_time
// are required; starting_point and noise_sd default to 0.5 and 1.0.
std::optional<Params> params_from_map(const ParamMap& map);

}  // namespace corvatel::py
