#include "arguments.hpp"

#include <new>
#include <string>

#include "py_ref.hpp"

namespace tarnwick::python {
namespace {

const char* plural(std::size_t count) noexcept { return count == 1 ? "" : "s"; }

// Binds one keyword argument; false with TypeError set on failure.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> bound) noexcept {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
    return false;
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) {
      if (bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                     signature.function, keyword);
        return false;
      }
      bound[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
               signature.function, keyword);
  return false;
}

// "f() takes 2 positional arguments but 3 were given", with the count of
// keyword-only arguments given when there are any. Building the message may
// throw std::bad_alloc, which bind_arguments turns into MemoryError.
void raise_too_many_positional(const Signature& signature, std::size_t given,
                               std::span<PyObject*> bound) {
  std::size_t keyword_only_given = 0;
  for (std::size_t i = signature.positional; i < bound.size(); ++i) {
    keyword_only_given += bound[i] != nullptr ? 1 : 0;
  }
  std::string accepted;
  bool accepted_plural = true;
  if (signature.required < signature.positional) {
    accepted = "from " + std::to_string(signature.required) + " to " +
               std::to_string(signature.positional);
  } else {
    accepted = std::to_string(signature.positional);
    accepted_plural = signature.positional != 1;
  }
  std::string given_text = std::to_string(given);
  if (keyword_only_given > 0) {
    given_text += std::string(" positional argument") + plural(given) + " (and " +
                  std::to_string(keyword_only_given) + " keyword-only argument" +
                  plural(keyword_only_given) + ")";
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %s %s given",
               signature.function, accepted.c_str(), accepted_plural ? "s" : "",
               given_text.c_str(), given == 1 && keyword_only_given == 0 ? "was" : "were");
}

// "f() missing 2 required positional arguments: 'a' and 'b'". May throw
// std::bad_alloc, as above.
void raise_missing(const Signature& signature, std::span<PyObject*> bound) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    count += bound[i] == nullptr ? 1 : 0;
  }
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] != nullptr) {
      continue;
    }
    if (listed > 0) {
      names += count == 2 ? " and " : (listed + 1 == count ? ", and " : ", ");
    }
    names += std::string("'") + signature.parameters[i] + "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
               signature.function, count, plural(count), names.c_str());
}

// The checks after the keywords are in place, in CPython's order.
bool finish_binding(const Signature& signature, std::size_t nargs, std::span<PyObject*> bound) {
  if (nargs > signature.positional) {
    raise_too_many_positional(signature, nargs, bound);
    return false;
  }
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) {
      raise_missing(signature, bound);
      return false;
    }
  }
  return true;
}

bool bind_positional(const Signature& signature, PyObject* const* args, std::size_t nargs,
                     std::span<PyObject*> bound) noexcept {
  for (auto& slot : bound) {
    slot = nullptr;
  }
  // Surplus positional values are not bound; they are reported after the
  // keywords, as CPython does.
  const std::size_t taken = nargs < signature.positional ? nargs : signature.positional;
  for (std::size_t i = 0; i < taken; ++i) {
    bound[i] = args[i];
  }
  return true;
}

// The steps both calling conventions share: the positional values, then
// each keyword that `for_each_keyword` passes to the binder it is given
// (stopping at the first that fails), then the checks. std::bad_alloc,
// from building a message, becomes MemoryError.
template <class ForEachKeyword>
bool bind_all(const Signature& signature, PyObject* const* args, std::size_t nargs,
              std::span<PyObject*> bound, const ForEachKeyword& for_each_keyword) noexcept {
  try {
    bind_positional(signature, args, nargs, bound);
    const auto bind_one = [&](PyObject* keyword, PyObject* value) {
      return bind_keyword(signature, keyword, value, bound);
    };
    return for_each_keyword(bind_one) && finish_binding(signature, nargs, bound);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, std::size_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) noexcept {
  return bind_all(signature, args, nargs, bound, [&](const auto& bind_one) {
    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
      if (!bind_one(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
    }
    return true;
  });
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) noexcept {
  const std::size_t nargs = args == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  PyObject* const* values = args == nullptr ? nullptr : &PyTuple_GET_ITEM(args, 0);
  return bind_all(signature, values, nargs, bound, [&](const auto& bind_one) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!bind_one(keyword, value)) return false;
    }
    return true;
  });
}

bool read_double(PyObject* object, double& out) noexcept {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace tarnwick::python
