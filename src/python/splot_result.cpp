#include "python/splot_result.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "numpy_api.hpp"
#include "parameter_dicts.hpp"
#include "splot_result_object.hpp"

namespace tarnwick::python {
namespace {

// ---- lifecycle ----

int splot_result_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  for (PyObject* array : as_result(self)->arrays) {
    Py_VISIT(array);
  }
  return 0;
}

int splot_result_clear(PyObject* self) noexcept {
  for (PyObject*& array : as_result(self)->arrays) {
    Py_CLEAR(array);
  }
  return 0;
}

void splot_result_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  splot_result_clear(self);
  fields_of(self).~ResultFields();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// ---- properties and repr ----

// The getter of every attribute: `closure` is the attribute's entry in
// kResultFields. Arrays are returned as they are held; the other fields are
// converted from their C++ member. An array is only missing after the
// garbage collector cleared the object, which reports it as a member
// descriptor would.
PyObject* get_field(PyObject* self, void* closure) noexcept {
  const ResultField& field = *static_cast<const ResultField*>(closure);
  return std::visit(
      [self, &field]<typename Slot>(const Slot& slot) -> PyObject* {
        if constexpr (std::is_same_v<Slot, ArraySlot>) {
          PyObject* array = as_result(self)->arrays[index_of(slot.field)];
          if (array == nullptr) {
            PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'",
                         Py_TYPE(self)->tp_name, field.name);
          }
          return Py_XNewRef(array);
        } else {
          const auto& value = fields_of(self).*slot;
          using Value = std::remove_cvref_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, double>) {
            return PyFloat_FromDouble(value);
          } else if constexpr (std::is_same_v<Value, bool>) {
            return PyBool_FromLong(value ? 1 : 0);
          } else if constexpr (std::is_same_v<Value, std::string>) {
            return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                                        "replace");
          } else if constexpr (std::is_same_v<Value, std::uint64_t>) {
            return PyLong_FromUnsignedLongLong(value);
          } else {
            return parameters_to_python(value).release();
          }
        }
      },
      field.slot);
}

// The minimum in fixed-point notation with six decimals; inf, -inf, NaN for
// values that are not finite.
std::string six_decimals(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "inf" : "-inf";
  }
  const int length = std::snprintf(nullptr, 0, "%.6f", value);
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, "%.6f", value);
  return text;
}

PyObject* splot_result_repr(PyObject* self) noexcept {
  try {
    const ResultFields& fields = fields_of(self);
    const std::string text = "SPlotResult(yields=<" + std::to_string(fields.n_components) +
                             " components>, success=" + (fields.success ? "true" : "false") +
                             ", minimum_nll=" + six_decimals(fields.minimum_nll) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace

// ---- construction ----

PyRef make_result(PyTypeObject* type, ResultFields&& fields, ResultArrays arrays) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    return {};
  }
  // The allocator zeroes the object and starts tracking it, so the array
  // fields are null until set and the object is always safe to traverse.
  PySPlotResult* object = as_result(self);
  new (object->fields) ResultFields(std::move(fields));
  for (std::size_t i = 0; i < kArrayFieldCount; ++i) {
    object->arrays[i] = arrays[i].release();
  }
  return PyRef::steal(self);
}

namespace {

PyMethodDef splot_result_methods[] = {
    {"__reduce__", splot_result_reduce, METH_NOARGS, "Pickle support."},
    {"_rebuild", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(splot_result_rebuild)),
     METH_FASTCALL | METH_CLASS, "Private: rebuild a result from its pickled fields."},
    {nullptr, nullptr, 0, nullptr},
};

// One descriptor per entry of kResultFields, in its order, all read by
// get_field.
constexpr std::array<PyGetSetDef, kResultFieldCount + 1> make_getset() {
  std::array<PyGetSetDef, kResultFieldCount + 1> getset{};
  for (std::size_t i = 0; i < kResultFieldCount; ++i) {
    getset[i] = {kResultFields[i].name, get_field, nullptr, kResultFields[i].doc,
                 const_cast<ResultField*>(&kResultFields[i])};
  }
  return getset;
}
constinit std::array<PyGetSetDef, kResultFieldCount + 1> splot_result_getset = make_getset();

// The Python type of a field, as the class docstring names it.
const char* python_type(const FieldSlot& slot) noexcept {
  return std::visit(
      [](const auto& member) -> const char* {
        using Slot = std::decay_t<decltype(member)>;
        if constexpr (std::is_same_v<Slot, ArraySlot>) {
          return "numpy.ndarray";
        } else if constexpr (std::is_same_v<Slot, std::map<std::string, double> ResultFields::*>) {
          return "dict[str, float]";
        } else if constexpr (std::is_same_v<Slot, double ResultFields::*>) {
          return "float";
        } else if constexpr (std::is_same_v<Slot, bool ResultFields::*>) {
          return "bool";
        } else if constexpr (std::is_same_v<Slot, std::string ResultFields::*>) {
          return "str";
        } else {
          return "int";
        }
      },
      slot);
}

// Appends `text` as lines of at most 79 characters indented by four spaces,
// broken between words.
void append_indented(std::string& out, std::string_view text) {
  constexpr std::size_t kWidth = 79 - 4;
  while (!text.empty()) {
    std::size_t end = text.size();
    if (end > kWidth) {
      end = text.rfind(' ', kWidth);
      if (end == std::string_view::npos) end = text.find(' ');
      if (end == std::string_view::npos) end = text.size();
    }
    out += "\n    ";
    out.append(text.substr(0, end));
    text.remove_prefix(std::min(text.size(), end + 1));
  }
}

// The class docstring in the NumPy style: the summary, then every field of
// kResultFields with its type and description.
std::string class_doc() {
  std::string doc =
      "Result of a joint yield-and-shape fit and its sWeight calculation.\n"
      "\n"
      "Attributes\n"
      "----------";
  for (const ResultField& field : kResultFields) {
    doc += '\n';
    doc += field.name;
    doc += " : ";
    doc += python_type(field.slot);
    append_indented(doc, field.doc);
  }
  return doc;
}

PyType_Slot splot_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(splot_result_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(splot_result_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(splot_result_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(splot_result_repr)},
    {Py_tp_methods, splot_result_methods},
    {Py_tp_getset, splot_result_getset.data()},
    {Py_tp_doc, nullptr},  // class_doc(), set when the type is made
    {0, nullptr},
};

PyType_Spec splot_result_spec = {
    .name = "tarnwick.SPlotResult",
    .basicsize = sizeof(PySPlotResult),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = splot_result_slots,
};

// Checks that a table's values fill its shape; RuntimeError otherwise.
bool check_table(const fit::Table& table) noexcept {
  const std::size_t expected = table.rows * table.cols;
  if (table.values.size() != expected) {
    PyErr_Format(PyExc_RuntimeError, "invalid length: %zu, but expected %zu", table.values.size(),
                 expected);
    return false;
  }
  return true;
}

// A C-ordered two-dimensional float64 array holding a copy of `table`;
// shape (0, 0) for a table without rows; RuntimeError when its values do
// not fill rows × cols.
PyRef matrix_to_numpy(const fit::Table& table) noexcept {
  if (!check_table(table)) {
    return {};
  }
  const std::size_t cols = table.rows == 0 ? 0 : table.cols;
  return numpy::array_from_copy(table.values, {table.rows, cols});
}

}  // namespace

PyObject* make_splot_result_type(PyObject* module) noexcept {
  // The type copies its docstring, so the text need only outlive this call.
  std::string doc;
  try {
    doc = class_doc();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  const auto set_doc = [](void* text) {
    for (PyType_Slot& slot : splot_result_slots) {
      if (slot.slot == Py_tp_doc) slot.pfunc = text;
    }
  };
  set_doc(doc.data());
  PyObject* type = PyType_FromModuleAndSpec(module, &splot_result_spec, nullptr);
  set_doc(nullptr);
  return type;
}

PyRef result_to_python(PyObject* type, fit::SPlotResult&& result) noexcept {
  PyRef covariance = matrix_to_numpy(result.covariance);
  if (!covariance || !check_table(result.sweights)) {
    return {};
  }
  PyRef sweights = numpy::array_from_vector(std::move(result.sweights.values),
                                            {result.sweights.rows, result.sweights.cols});
  if (!sweights) {
    return {};
  }
  PyRef fit_covariance = matrix_to_numpy(result.fit_covariance);
  if (!fit_covariance) {
    return {};
  }
  const std::size_t n_components = result.yields.size();
  PyRef yields = numpy::array_from_vector(std::move(result.yields), {n_components});
  if (!yields) {
    return {};
  }
  const std::size_t n_errors = result.yield_errors.size();
  PyRef yield_errors = numpy::array_from_vector(std::move(result.yield_errors), {n_errors});
  if (!yield_errors) {
    return {};
  }

  ResultFields fields{{std::move(static_cast<fit::FitOutcome&>(result))}, n_components};
  ResultArrays arrays;
  arrays[index_of(ArrayField::Yields)] = std::move(yields);
  arrays[index_of(ArrayField::YieldErrors)] = std::move(yield_errors);
  arrays[index_of(ArrayField::Covariance)] = std::move(covariance);
  arrays[index_of(ArrayField::Sweights)] = std::move(sweights);
  arrays[index_of(ArrayField::FitCovariance)] = std::move(fit_covariance);
  return make_result(reinterpret_cast<PyTypeObject*>(type), std::move(fields), std::move(arrays));
}

}  // namespace tarnwick::python
