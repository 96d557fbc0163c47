// A builtin function of the module, bound to it as the methods of a
// PyModuleDef would be: its __module__ is the module's name and its self is
// the module (where its state lives).
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace tarnwick::python {

// A new function object for `method` bound to `module`, or null with an
// exception set. `method` must outlive the function (a static definition).
[[nodiscard]] inline PyObject* make_module_function(PyMethodDef* method,
                                                    PyObject* module) noexcept {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCMethod_New(method, module, name.get(), nullptr);
}

}  // namespace tarnwick::python
