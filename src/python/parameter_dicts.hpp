// The Python form of a shape-parameter point: a dict of str to float.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "fit/parametric_pdf.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

// A new dict with one item per entry of `parameters`, in the map's order
// (byte-wise by name): key a str, value a float. Empty with an exception set
// on failure.
[[nodiscard]] PyRef parameters_to_python(const fit::ParameterMap& parameters) noexcept;

// Builds the parameter dicts of a series of calls. The names of a fit do not
// change from point to point, so their str keys are made (and interned, so
// that a PDF's lookups by literal names compare by identity) once and reused
// while the names stay the same; only the float values are new per dict.
class ParameterDicts {
 public:
  // As parameters_to_python. May throw std::bad_alloc.
  [[nodiscard]] PyRef make(const fit::ParameterMap& parameters);

 private:
  [[nodiscard]] bool keys_match(const fit::ParameterMap& parameters) const noexcept;

  std::vector<std::string> names_;
  std::vector<PyRef> keys_;
};

}  // namespace tarnwick::python
