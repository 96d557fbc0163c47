#include "parameter_dicts.hpp"

#include <new>

namespace tarnwick::python {

PyRef parameters_to_python(const fit::ParameterMap& parameters) noexcept {
  try {
    return ParameterDicts{}.make(parameters);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return {};
  }
}

bool ParameterDicts::keys_match(const fit::ParameterMap& parameters) const noexcept {
  if (names_.size() != parameters.size()) {
    return false;
  }
  auto name = names_.begin();
  for (const auto& entry : parameters) {
    if (*name++ != entry.first) {
      return false;
    }
  }
  return true;
}

PyRef ParameterDicts::make(const fit::ParameterMap& parameters) {
  if (!keys_match(parameters)) {
    names_.clear();
    keys_.clear();
    for (const auto& entry : parameters) {
      PyObject* key = PyUnicode_DecodeUTF8(entry.first.data(),
                                           static_cast<Py_ssize_t>(entry.first.size()), nullptr);
      if (key == nullptr) {
        names_.clear();
        keys_.clear();
        return {};
      }
      PyUnicode_InternInPlace(&key);
      keys_.push_back(PyRef::steal(key));
      names_.push_back(entry.first);
    }
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) {
    return {};
  }
  auto key = keys_.begin();
  for (const auto& entry : parameters) {
    PyRef number = PyRef::steal(PyFloat_FromDouble(entry.second));
    if (!number || PyDict_SetItem(dict.get(), (key++)->get(), number.get()) < 0) {
      return {};
    }
  }
  return dict;
}

}  // namespace tarnwick::python
