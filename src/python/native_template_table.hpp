// Reading the histogram of a Template's description: the tuple
//   (linear, equal_bins, x, y)
// of two bools and two tuples of floats, the edges and normalised bin
// densities of a constant histogram or the nodes and values of a linear
// one (fit::TemplateTable).
#pragma once

#include <Python.h>

#include <memory>

#include "fit/native_template.hpp"

namespace tarnwick::python {

// The table, or null when `table` is not one: sizes that do not fit its
// kind, abscissae not finite and strictly increasing, values not finite.
// Sets no exception; may throw std::bad_alloc.
[[nodiscard]] std::shared_ptr<const fit::TemplateTable> read_template_table(PyObject* table);

}  // namespace tarnwick::python
