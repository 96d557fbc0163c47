#include "splot_arguments.hpp"

#include <array>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "error_mapping.hpp"
#include "numpy_api.hpp"
#include "python/shape_parameter.hpp"

namespace tarnwick::python {
namespace {

// splot's parameters, in the order of its signature.
enum SplotParameter : std::size_t {
  kData,
  kPdfs,
  kShapeParameters,
  kInitialYields,
  kWeights,
  kMaxSteps,
  kTolerance,
  kParameterCount
};
constexpr std::array<const char*, kParameterCount> kSplotParameterNames = {
    "data", "pdfs", "shape_parameters", "initial_yields", "weights", "max_steps", "tolerance"};
constexpr Signature kSignature = {"splot", kSplotParameterNames, 2, 2};
using SplotBound = std::array<PyObject*, kParameterCount>;

// The notes on the TypeError of a weights array that cannot be copied as it
// is; each names the copy that can.
constexpr const char kStridedWeightsNote[] =
    "weights must be contiguous: pass np.ascontiguousarray(w) for a strided array w "
    "such as result.sweights[:, 0]";
constexpr const char kMisalignedWeightsNote[] =
    "weights must be aligned: pass np.array(w), an aligned copy of w";

// ---- conversions; each returns false with the exception raised ----

// `object` converted to a float64 array that must have `ndim` dimensions;
// otherwise TypeError "{what}, not {n}-dimensional" (or the conversion's
// own error).
bool convert_to_float64(PyObject* object, int ndim, const char* what, PyRef& out) {
  PyRef array = numpy::to_float64_array(object);
  if (!array) {
    return false;
  }
  if (numpy::ndim(array.get()) != ndim) {
    PyErr_Format(PyExc_TypeError, "%s, not %d-dimensional", what, numpy::ndim(array.get()));
    return false;
  }
  out = std::move(array);
  return true;
}

bool convert_data(PyObject* object, PyRef& out) {
  if (numpy::is_float64_array(object, 2)) {
    out = PyRef::borrow(object);
    return true;
  }
  return convert_to_float64(object, 2, "data must be a two-dimensional array", out);
}

// Refuses a str and an object that is not a sequence, as a list-valued
// argument does.
bool check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PySequence_Check(object) == 0) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not a sequence", Py_TYPE(object)->tp_name);
    return false;
  }
  return true;
}

// The items of a sequence, taken by iteration, as new references.
bool collect_items(PyObject* object, std::vector<PyRef>& out) {
  if (!check_sequence(object)) {
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    out.push_back(std::move(item));
  }
  return PyErr_Occurred() == nullptr;
}

bool convert_shape_parameters(PyObject* object, PyObject* type, std::vector<PyRef>& out) {
  if (object == Py_None) {
    return true;
  }
  if (!collect_items(object, out)) {
    return false;
  }
  for (const PyRef& item : out) {
    if (!is_shape_parameter(item.get(), type)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'ShapeParameter'",
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
  }
  return true;
}

bool convert_initial_yields(PyObject* object, std::optional<std::vector<double>>& out) {
  if (object == Py_None) {
    return true;
  }
  std::vector<PyRef> items;
  if (!collect_items(object, items)) {
    return false;
  }
  std::vector<double> values(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!read_double(items[i].get(), values[i])) {
      return false;
    }
  }
  out = std::move(values);
  return true;
}

// Reads every item of a non-array sequence by the float protocol. Returns
// true with the values, or false with no exception raised when an item does
// not convert (the caller then tries NumPy's conversion), or false with an
// exception raised for a failure that must not be passed over (one that is
// not an Exception, such as KeyboardInterrupt).
bool read_weight_items(PyObject* object, std::vector<double>& out) {
  std::vector<PyRef> items;
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  bool complete = static_cast<bool>(iterator);
  while (complete) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      complete = PyErr_Occurred() == nullptr;
      break;
    }
    double value = 0.0;
    if (!read_double(item.get(), value)) {
      complete = false;
      break;
    }
    out.push_back(value);
  }
  if (complete) {
    return true;
  }
  out.clear();
  if (PyErr_ExceptionMatches(PyExc_Exception) != 0) {
    PyErr_Clear();
  }
  return false;
}

bool convert_weights(PyObject* object, std::optional<Weights>& out) {
  if (object == Py_None) {
    return true;
  }
  if (numpy::is_float64_array(object, 1)) {
    out = PyRef::borrow(object);
    return true;
  }
  // A sequence of numbers becomes the weights directly. NumPy arrays of
  // another dtype or rank go straight to NumPy's own conversion, which gives
  // the same values without converting array elements one by one.
  if (!numpy::is_array(object) && !PyUnicode_Check(object) && PySequence_Check(object) != 0) {
    std::vector<double> values;
    if (read_weight_items(object, values)) {
      out = std::move(values);
      return true;
    }
    if (PyErr_Occurred() != nullptr) {
      return false;
    }
  }
  PyRef array;
  if (!convert_to_float64(object, 1, "weights must be a one-dimensional array", array)) {
    return false;
  }
  out = std::move(array);
  return true;
}

bool convert_max_steps(PyObject* object, std::optional<std::uint64_t>& out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

// Converts the bound arguments in parameter order; the first failure ends
// the call with the note naming its parameter. Omitted keyword-only
// arguments keep their defaults.
bool convert_arguments(const SplotBound& bound, const ModuleState& state,
                       SPlotArguments& out) {
  const auto convert = [&](SplotParameter parameter) {
    PyObject* value = bound[parameter];
    switch (parameter) {
      case kData:
        return convert_data(value, out.data);
      case kPdfs:
        return collect_items(value, out.pdfs);
      case kShapeParameters:
        return convert_shape_parameters(value, state.shape_parameter_type,
                                        out.shape_parameters);
      case kInitialYields:
        return convert_initial_yields(value, out.initial_yields);
      case kWeights:
        return convert_weights(value, out.weights);
      case kMaxSteps:
        return convert_max_steps(value, out.max_steps);
      case kTolerance:
        return read_double(value, out.tolerance);
      case kParameterCount:
        break;
    }
    return false;
  };
  for (std::size_t index = 0; index < kParameterCount; ++index) {
    const auto parameter = static_cast<SplotParameter>(index);
    if (bound[parameter] != nullptr && !convert(parameter)) {
      add_processing_note(kSplotParameterNames[parameter]);
      return false;
    }
  }
  return true;
}


}  // namespace

bool convert_splot_arguments(PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                             const ModuleState& state, SPlotArguments& out) {
  SplotBound bound{};
  return bind_arguments(kSignature, args, nargs, kwnames, bound) &&
         convert_arguments(bound, state, out);
}

bool weights_to_vector(Weights& weights, std::vector<double>& out) {
  if (auto* values = std::get_if<std::vector<double>>(&weights)) {
    out = std::move(*values);
    return true;
  }
  PyObject* array = std::get<PyRef>(weights).get();
  const numpy::VectorView view = numpy::vector_view(array);
  if (view.length == 0) {
    out.clear();
    return true;
  }
  if (!numpy::is_aligned_and_contiguous(array)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    add_note(numpy::is_c_contiguous(array) ? kMisalignedWeightsNote : kStridedWeightsNote);
    return false;
  }
  out.resize(view.length);
  numpy::copy_elements(view, out.data());
  return true;
}

}  // namespace tarnwick::python
