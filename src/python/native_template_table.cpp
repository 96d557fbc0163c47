#include "native_template_table.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

namespace tarnwick::python {
namespace {

// A tuple of floats, all finite, into `out`.
bool read_floats(PyObject* tuple, std::vector<double>& out) {
  if (!PyTuple_Check(tuple)) return false;
  const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t k = 0; k < size; ++k) {
    PyObject* item = PyTuple_GET_ITEM(tuple, k);
    if (!PyFloat_CheckExact(item) || !std::isfinite(PyFloat_AS_DOUBLE(item))) return false;
    out.push_back(PyFloat_AS_DOUBLE(item));
  }
  return true;
}

bool strictly_increasing(const std::vector<double>& x) {
  for (std::size_t k = 1; k < x.size(); ++k) {
    if (!(x[k - 1] < x[k])) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<const fit::TemplateTable> read_template_table(PyObject* table) {
  if (!PyTuple_Check(table) || PyTuple_GET_SIZE(table) != 4 ||
      !PyBool_Check(PyTuple_GET_ITEM(table, 0)) || !PyBool_Check(PyTuple_GET_ITEM(table, 1))) {
    return nullptr;
  }
  auto read = std::make_shared<fit::TemplateTable>();
  read->linear = PyTuple_GET_ITEM(table, 0) == Py_True;
  read->equal_bins = PyTuple_GET_ITEM(table, 1) == Py_True;
  if (!read_floats(PyTuple_GET_ITEM(table, 2), read->x) ||
      !read_floats(PyTuple_GET_ITEM(table, 3), read->y) || !fit::template_table_fits(*read) ||
      !strictly_increasing(read->x)) {
    return nullptr;
  }
  return read;
}

}  // namespace tarnwick::python
