// Argument parsing and scalar conversion shared by the module's functions.
//
// Parsing mirrors a Python function with the same parameter list, down to
// CPython's error texts. Each conversion failure keeps the converter's own
// exception and gains a note naming the parameter.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvatel::py {

template <std::size_t N>
struct Signature {
  const char* function;              // as shown in messages: "simulate"
  std::array<const char*, N> names;  // every parameter, positional-or-keyword
  std::size_t required;              // the first `required` have no default
};

namespace detail {
bool parse(const char* function, const char* const* names, std::size_t count, std::size_t required,
           PyObject* args, PyObject* kwargs, PyObject** out);
}

// Fills `out` with borrowed references in parameter order, nullptr for an
// omitted optional parameter. On failure raises TypeError and returns false.
template <std::size_t N>
bool parse_arguments(const Signature<N>& sig, PyObject* args, PyObject* kwargs, std::array<PyObject*, N>& out) {
  return detail::parse(sig.function, sig.names.data(), N, sig.required, args, kwargs, out.data());
}

// `obj` as a double (floats, ints, objects with __float__ or __index__).
std::optional<double> to_double(PyObject* obj, const char* name);

// `obj` as an unsigned 64-bit integer: an int, or anything with __index__.
std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name);

}  // namespace corvatel::py
