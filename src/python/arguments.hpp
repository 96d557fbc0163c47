// Binding of call arguments to named parameters, with the TypeError texts
// that CPython itself gives for a function defined in Python with the same
// parameter list: missing, surplus, duplicated and unknown arguments; and
// the reading of a float argument.
//
// Requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace tarnwick::python {

struct Signature {
  // The function's name as shown in messages ("splot" gives "splot()").
  const char* function;
  // Every parameter, in order: first those that bind by position or by
  // keyword, then the keyword-only ones.
  std::span<const char* const> parameters;
  // How many leading parameters bind by position (the rest are
  // keyword-only).
  std::size_t positional;
  // How many leading parameters are required; all later ones have defaults.
  // Never more than `positional`.
  std::size_t required;
};

// Binds vectorcall arguments: `args` holds `nargs` positional values followed
// by the values of the keywords named in `kwnames` (a tuple of str, or null).
// On success every entry of `bound` (one per parameter) is a borrowed
// reference to its argument, or null when the argument was not given.
// Returns false with TypeError set on a binding error.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* const* args,
                                  std::size_t nargs, PyObject* kwnames,
                                  std::span<PyObject*> bound) noexcept;

// The same for a positional tuple and a keyword dict (either may be null),
// as a type's tp_new receives them.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                  std::span<PyObject*> bound) noexcept;

// Reads one float argument by the float protocol (an exact float directly).
// Returns false with the conversion's exception raised.
[[nodiscard]] bool read_double(PyObject* object, double& out) noexcept;

}  // namespace tarnwick::python
