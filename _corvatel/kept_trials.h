// The result of simulate() and simulate_full(): the kept trials' choices and
// response times as two NumPy arrays over buffers that the batch writes
// straight into, and the number of trials dropped at the 10 s cap.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>

namespace corvatel::py {

// Writes the kept trials of a batch of n into choices[0..n) and rts[0..n)
// and returns their count, or nothing when its stop check said stop. Runs
// without the interpreter lock, so it must not touch any Python object.
using KeptFill = std::function<std::optional<std::uint64_t>(std::uint8_t* choices, double* rts)>;

// Allocates the two buffers of n trials (the caller has checked the memory),
// runs `fill` on them without the interpreter lock, gives back the buffers'
// unused tails and returns (choices, rts, n_excluded). nullptr, with the
// stop check's exception set, when the batch was stopped. Throws
// std::bad_alloc when the buffers cannot be had.
PyObject* kept_trials_result(std::uint64_t n, const KeptFill& fill);

}  // namespace corvatel::py
