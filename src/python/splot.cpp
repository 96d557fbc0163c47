#include "splot.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "arguments.hpp"
#include "error_mapping.hpp"
#include "fit/splot.hpp"
#include "module_state.hpp"
#include "numpy_api.hpp"
#include "pdf_adapter.hpp"
#include "py_ref.hpp"
#include "shape_parameter.hpp"
#include "splot_result.hpp"

namespace tarnwick::python {
namespace {

constexpr std::uint64_t kDefaultMaxSteps = 1000;
constexpr double kDefaultTolerance = 1e-8;

constexpr std::array<const char*, 7> kParameterNames = {
    "data", "pdfs", "shape_parameters", "initial_yields", "weights", "max_steps", "tolerance"};
constexpr Signature kSignature = {"splot", kParameterNames, 2, 2};

// The weights as converted: either an array still to be copied (checked for
// alignment and contiguity at that point), or values read item by item.
using Weights = std::variant<PyRef, std::vector<double>>;

// The arguments after conversion, in parameter order.
struct Arguments {
  PyRef data;  // a two-dimensional float64 array
  std::vector<PyRef> pdfs;
  std::vector<PyRef> shape_parameters;
  std::optional<std::vector<double>> initial_yields;
  std::optional<Weights> weights;
  std::optional<std::uint64_t> max_steps = kDefaultMaxSteps;
  double tolerance = kDefaultTolerance;
};

// ---- conversions; each returns false with the exception raised ----

bool convert_data(PyObject* object, PyRef& out) {
  if (numpy::is_float64_array(object, 2)) {
    out = PyRef::borrow(object);
    return true;
  }
  PyRef array = numpy::to_float64_array(object);
  if (!array) {
    return false;
  }
  if (numpy::ndim(array.get()) != 2) {
    PyErr_Format(PyExc_TypeError, "data must be a two-dimensional array, not %d-dimensional",
                 numpy::ndim(array.get()));
    return false;
  }
  out = std::move(array);
  return true;
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

// One double by the float protocol (exact floats read directly).
bool read_double(PyObject* object, double& out) noexcept {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
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
  PyRef array = numpy::to_float64_array(object);
  if (!array) {
    return false;
  }
  if (numpy::ndim(array.get()) != 1) {
    PyErr_Format(PyExc_TypeError, "weights must be a one-dimensional array, not %d-dimensional",
                 numpy::ndim(array.get()));
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
// the call with the note naming its parameter.
bool convert_arguments(const std::array<PyObject*, 7>& bound, const ModuleState& state,
                       Arguments& out) {
  const auto fail = [](const char* parameter) {
    add_processing_note(parameter);
    return false;
  };
  if (!convert_data(bound[0], out.data)) {
    return fail("data");
  }
  if (!collect_items(bound[1], out.pdfs)) {
    return fail("pdfs");
  }
  if (bound[2] != nullptr &&
      !convert_shape_parameters(bound[2], state.shape_parameter_type, out.shape_parameters)) {
    return fail("shape_parameters");
  }
  if (bound[3] != nullptr && !convert_initial_yields(bound[3], out.initial_yields)) {
    return fail("initial_yields");
  }
  if (bound[4] != nullptr && !convert_weights(bound[4], out.weights)) {
    return fail("weights");
  }
  if (bound[5] != nullptr && !convert_max_steps(bound[5], out.max_steps)) {
    return fail("max_steps");
  }
  if (bound[6] != nullptr && !read_double(bound[6], out.tolerance)) {
    return fail("tolerance");
  }
  return true;
}

// ---- the call ----

// The weights as a vector; an array must be aligned and contiguous unless
// it is empty.
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
    return false;
  }
  out.resize(view.length);
  numpy::copy_elements(view, out.data());
  return true;
}

// The data array's rows as the events, viewed in place whatever its
// strides; the array outlives the fit.
fit::EventView view_events(PyObject* data) {
  const numpy::MatrixView view = numpy::matrix_view(data);
  return {view.data, view.rows, view.cols, view.row_stride, view.col_stride};
}

// Calls PDF `index` once at the initial point and returns its output,
// checked. An exception of the PDF itself propagates as it is.
bool probe_pdf(PyObject* pdf, std::size_t index, PyObject* data, PyObject* parameters,
               std::size_t n_events, std::vector<double>& out) {
  if (PyCallable_Check(pdf) == 0) {
    PyErr_Format(PyExc_ValueError, "PDF %zu must be callable", index);
    return false;
  }
  PyObject* arguments[] = {data, parameters};
  PyRef output = PyRef::steal(PyObject_Vectorcall(pdf, arguments, 2, nullptr));
  if (!output) {
    return false;
  }
  if (auto text = copy_pdf_output(output.get(), index, n_events, out)) {
    PyErr_SetString(PyExc_ValueError, text->c_str());
    return false;
  }
  return true;
}

PyObject* run_splot(PyObject* module, PyObject* const* args, std::size_t nargs,
                    PyObject* kwnames) {
  const ModuleState& state = module_state(module);
  std::array<PyObject*, 7> bound{};
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) {
    return nullptr;
  }
  Arguments arguments;
  if (!convert_arguments(bound, state, arguments)) {
    return nullptr;
  }

  // 1–2: what the engine would also reject, reported without its prefix.
  const numpy::MatrixView shape = numpy::matrix_view(arguments.data.get());
  const std::size_t n_events = shape.rows;
  if (shape.rows == 0 || shape.cols == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "data must have shape (n_events, n_features) with both dimensions nonzero");
    return nullptr;
  }
  if (arguments.pdfs.empty()) {
    PyErr_SetString(PyExc_ValueError, "at least one PDF is required");
    return nullptr;
  }

  // 3–4: the options of the fit.
  fit::SPlotConfig config;
  if (arguments.weights) {
    std::vector<double> weights;
    if (!weights_to_vector(*arguments.weights, weights)) {
      return nullptr;
    }
    arguments.weights.reset();
    config.event_weights = std::move(weights);
  }
  config.initial_yields = std::move(arguments.initial_yields);
  config.max_steps = arguments.max_steps;
  config.tolerance = arguments.tolerance;

  // 5: the checked shape parameters; the Python objects are not needed
  // afterwards.
  std::vector<fit::ShapeParameter> shape_parameters;
  shape_parameters.reserve(arguments.shape_parameters.size());
  for (const PyRef& object : arguments.shape_parameters) {
    auto record = to_record(object.get());
    if (!record) {
      return raise_fit_error(record.error());
    }
    shape_parameters.push_back(std::move(*record));
  }
  arguments.shape_parameters.clear();

  // 6: the events.
  const fit::EventView events = view_events(arguments.data.get());

  // 7: the initial shape-parameter point; with repeated names the later
  // value wins here, and the engine rejects the repetition.
  fit::ParameterMap initial_point;
  for (const fit::ShapeParameter& parameter : shape_parameters) {
    initial_point.insert_or_assign(parameter.name, parameter.initial);
  }
  PyRef initial_dict = parameters_to_python(initial_point);
  if (!initial_dict) {
    return nullptr;
  }

  // 8: one probe call per PDF, in order.
  std::vector<std::vector<double>> probe_outputs(arguments.pdfs.size());
  for (std::size_t i = 0; i < arguments.pdfs.size(); ++i) {
    if (!probe_pdf(arguments.pdfs[i].get(), i, arguments.data.get(), initial_dict.get(),
                   n_events, probe_outputs[i])) {
      return nullptr;
    }
  }
  initial_dict.reset();

  // 9: the adapters, their caches seeded with the probe outputs.
  FitInterruption interruption;
  std::vector<std::unique_ptr<PythonParametricPdf>> adapters;
  std::vector<fit::ParametricPdf*> pdfs;
  adapters.reserve(arguments.pdfs.size());
  pdfs.reserve(arguments.pdfs.size());
  for (std::size_t i = 0; i < arguments.pdfs.size(); ++i) {
    adapters.push_back(std::make_unique<PythonParametricPdf>(
        arguments.pdfs[i].get(), arguments.data.get(), i, n_events, std::move(probe_outputs[i]),
        initial_point, interruption));
    pdfs.push_back(adapters.back().get());
  }

  // 10: the fit.
  auto outcome = fit::splot(events, pdfs, shape_parameters, std::move(config));
  if (interruption.pending()) {
    restore_raised_exception(interruption.take());
    return nullptr;
  }
  if (!outcome) {
    return raise_fit_error(outcome.error());
  }
  return result_to_python(state.splot_result_type, std::move(*outcome)).release();
  // 11: everything made for the call is released on the way out.
}

// run_splot with no C++ exception passing out.
PyObject* guarded_splot(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  try {
    return run_splot(module, args, static_cast<std::size_t>(nargs), kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "tarnwick.splot failed internally: %s", error.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "tarnwick.splot failed internally: unknown C++ exception");
    return nullptr;
  }
}

// The C entry point. A PDF may call splot again, so calls can nest, and each
// level takes a few kilobytes of C stack besides its Python frames. Each call
// therefore counts as one level of the interpreter's recursion limit, so that
// deep nesting ends in RecursionError while the stack still has room, as it
// does for CPython's own builtins that call back into Python.
PyObject* splot_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  if (Py_EnterRecursiveCall(" in tarnwick.splot") != 0) {
    return nullptr;
  }
  PyObject* result = guarded_splot(module, args, nargs, kwnames);
  Py_LeaveRecursiveCall();
  return result;
}

constexpr const char kSplotDoc[] =
    "splot(data, pdfs, *, shape_parameters=None, initial_yields=None, weights=None, "
    "max_steps=..., tolerance=1e-8)\n"
    "--\n"
    "\n"
    "Fit component yields and shared shape parameters, then calculate sWeights.\n"
    "\n"
    "The yields and shape parameters are determined in a single joint extended\n"
    "maximum-likelihood fit. After optimization, the yield information matrix is\n"
    "evaluated at the fitted point and inverted to obtain the sPlot covariance.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "data : array_like\n"
    "    Two-dimensional event data with shape ``(n_events, n_features)``.\n"
    "    Values must be finite, and both dimensions must be nonzero.\n"
    "pdfs : list of callable\n"
    "    Component probability-density functions. Each callable must have the\n"
    "    signature ``pdf(data, shape_parameters)`` and return a one-dimensional\n"
    "    ``float64`` NumPy array of length ``n_events`` containing finite,\n"
    "    nonnegative density values.\n"
    "shape_parameters : list of ShapeParameter or None, optional\n"
    "    Shared shape parameters used by the component PDFs. Each PDF receives\n"
    "    the complete parameter dictionary keyed by name. Defaults to no free\n"
    "    shape parameters.\n"
    "initial_yields : list of float or None, optional\n"
    "    Initial component yields. The list must contain one finite,\n"
    "    nonnegative value per PDF and have a positive sum. When omitted, equal\n"
    "    yields summing to the event-weight sum are used.\n"
    "weights : array_like or None, optional\n"
    "    Signed event weights with shape ``(n_events,)``. These weights enter the\n"
    "    likelihood, yield information matrix, and final sWeights. Unit weights\n"
    "    are used when omitted.\n"
    "max_steps : int or None, optional\n"
    "    Maximum number of optimizer steps. Passing ``None`` disables the\n"
    "    explicit step limit. Defaults to 1000.\n"
    "tolerance : float, optional\n"
    "    Positive finite convergence tolerance used for the objective and\n"
    "    gradient termination criteria. Defaults to ``1e-8``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "SPlotResult\n"
    "    Joint fit parameters, covariance matrices, diagnostics, and per-event\n"
    "    sWeights.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the data, weights, initial yields, shape parameters, or optimizer\n"
    "    configuration are invalid.\n"
    "SPlotError\n"
    "    If a PDF raises an exception, returns invalid values, the optimizer\n"
    "    fails numerically, or the yield information matrix is singular.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "PDF callables are vectorized over the complete data array. Their outputs\n"
    "are cached for each shape-parameter point to avoid reevaluating a PDF once\n"
    "per event.\n"
    "\n"
    "The rows of ``sweights`` follow the input event order, and its columns\n"
    "follow the order of ``pdfs``.\n"
    "\n"
    "Signed input weights are supported, but they can make the information\n"
    "matrix indefinite or singular for some datasets.";

PyMethodDef splot_method = {
    "splot",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(splot_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    kSplotDoc,
};

}  // namespace

PyObject* make_splot_function(PyObject* module) noexcept {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) {
    return nullptr;
  }
  return PyCMethod_New(&splot_method, module, name.get(), nullptr);
}

}  // namespace tarnwick::python
