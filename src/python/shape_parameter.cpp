#include "python/shape_parameter.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "error_mapping.hpp"
#include "fit/number_format.hpp"
#include "name_literal.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {
namespace {

struct PyShapeParameter {
  PyObject_HEAD
  // Built by placement new in tp_new, destroyed in dealloc.
  std::string name;
  double initial;
  double lower;
  double upper;
};

PyShapeParameter* as_shape_parameter(PyObject* self) noexcept {
  return reinterpret_cast<PyShapeParameter*>(self);
}

constexpr std::array<const char*, 4> kParameterNames = {"name", "initial", "lower", "upper"};
constexpr Signature kConstructor = {"ShapeParameter", kParameterNames, 4, 2};

// Reads a float argument (see read_double); the note names the parameter
// on failure.
bool read_parameter(PyObject* value, const char* parameter, double& out) noexcept {
  if (!read_double(value, out)) {
    add_processing_note(parameter);
    return false;
  }
  return true;
}

// ---- lifecycle ----

PyObject* shape_parameter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    std::array<PyObject*, 4> bound{};
    if (!bind_arguments(kConstructor, args, kwargs, bound)) {
      return nullptr;
    }
    if (!PyUnicode_Check(bound[0])) {
      PyErr_Format(PyExc_TypeError, "name must be str, not %s", Py_TYPE(bound[0])->tp_name);
      add_processing_note("name");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(bound[0], &size);
    if (utf8 == nullptr) {
      add_processing_note("name");
      return nullptr;
    }
    std::string name(utf8, static_cast<std::size_t>(size));
    double initial = 0.0;
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
    if (!read_parameter(bound[1], "initial", initial) ||
        (bound[2] != nullptr && !read_parameter(bound[2], "lower", lower)) ||
        (bound[3] != nullptr && !read_parameter(bound[3], "upper", upper))) {
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      return nullptr;
    }
    PyShapeParameter* object = as_shape_parameter(self);
    new (&object->name) std::string(std::move(name));
    object->initial = initial;
    object->lower = lower;
    object->upper = upper;
    return self;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void shape_parameter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  as_shape_parameter(self)->name.~basic_string();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// ---- properties and repr ----

PyObject* get_name(PyObject* self, void*) noexcept {
  const std::string& name = as_shape_parameter(self)->name;
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr);
}
PyObject* get_initial(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(as_shape_parameter(self)->initial);
}
PyObject* get_lower(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(as_shape_parameter(self)->lower);
}
PyObject* get_upper(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(as_shape_parameter(self)->upper);
}

PyObject* shape_parameter_repr(PyObject* self) noexcept {
  try {
    const PyShapeParameter* object = as_shape_parameter(self);
    const std::string text = "ShapeParameter(name=" + name_literal(object->name) +
                             ", initial=" + fit::format_double(object->initial) +
                             ", lower=" + fit::format_double(object->lower) +
                             ", upper=" + fit::format_double(object->upper) + ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyGetSetDef shape_parameter_getset[] = {
    {"name", get_name, nullptr, "Parameter name.", nullptr},
    {"initial", get_initial, nullptr, "Initial optimizer value.", nullptr},
    {"lower", get_lower, nullptr, "Lower optimizer bound.", nullptr},
    {"upper", get_upper, nullptr, "Upper optimizer bound.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kShapeParameterDoc[] =
    "ShapeParameter(name, initial, lower=..., upper=...)\n"
    "--\n"
    "\n"
    "Shared shape parameter used by the joint yield-and-shape fit.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str\n"
    "    Unique name identifying the parameter.\n"
    "initial : float\n"
    "    Initial value supplied to the optimizer.\n"
    "lower : float, optional\n"
    "    Inclusive lower bound. Defaults to negative infinity.\n"
    "upper : float, optional\n"
    "    Inclusive upper bound. Defaults to positive infinity.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "name : str\n"
    "    Parameter name.\n"
    "initial : float\n"
    "    Initial optimizer value.\n"
    "lower : float\n"
    "    Lower optimizer bound.\n"
    "upper : float\n"
    "    Upper optimizer bound.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "The initial value must be finite and lie within the configured bounds.\n"
    "Parameter names must be unique within a call to `splot`.";

PyType_Slot shape_parameter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(shape_parameter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(shape_parameter_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(shape_parameter_repr)},
    {Py_tp_getset, shape_parameter_getset},
    {Py_tp_doc, const_cast<char*>(kShapeParameterDoc)},
    {0, nullptr},
};

PyType_Spec shape_parameter_spec = {
    .name = "tarnwick.ShapeParameter",
    .basicsize = sizeof(PyShapeParameter),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = shape_parameter_slots,
};

}  // namespace

PyObject* make_shape_parameter_type(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &shape_parameter_spec, nullptr);
}

bool is_shape_parameter(PyObject* object, PyObject* type) noexcept {
  // The type is final, so an instance has exactly this type.
  return Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(type));
}

std::optional<std::vector<fit::ShapeParameter>> to_records(std::span<const PyRef> objects) {
  std::vector<fit::ShapeParameter> records;
  records.reserve(objects.size());
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const PyShapeParameter* parameter = as_shape_parameter(objects[i].get());
    auto record = fit::make_shape_parameter(parameter->name, parameter->initial,
                                            parameter->lower, parameter->upper);
    if (!record) {
      const std::string note = "while processing shape parameter " +
                               name_literal(parameter->name) + " (shape_parameters[" +
                               std::to_string(i) + "])";
      raise_fit_error(record.error());
      add_note(note);
      return std::nullopt;
    }
    records.push_back(std::move(*record));
  }
  return records;
}

}  // namespace tarnwick::python
