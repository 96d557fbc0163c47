#include "python/splot.hpp"

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error_mapping.hpp"
#include "fit/splot.hpp"
#include "module_state.hpp"
#include "native_model.hpp"
#include "numpy_api.hpp"
#include "pdf_adapter.hpp"
#include "module_function.hpp"
#include "py_ref.hpp"
#include "recursion_levels.hpp"
#include "python/shape_parameter.hpp"
#include "splot_arguments.hpp"
#include "python/splot_result.hpp"

namespace tarnwick::python {
namespace {

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

// Before: the arguments are converted. What the engine would also reject,
// checked here because the probe calls the PDFs before the engine sees the
// input, and reported without the engine's prefix. After: true, or false
// with ValueError raised.
bool check_data_and_pdfs(const SPlotArguments& arguments) {
  const numpy::MatrixView shape = numpy::matrix_view(arguments.data.get());
  if (shape.rows == 0 || shape.cols == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "data must have shape (n_events, n_features) with both dimensions nonzero");
    return false;
  }
  if (arguments.pdfs.empty()) {
    PyErr_SetString(PyExc_ValueError, "at least one PDF is required");
    return false;
  }
  return true;
}

// Before: the arguments are converted. Moves the options of the fit out of
// `arguments` (copying array weights into a vector). After: the options, or
// nullopt with the exception raised.
std::optional<fit::SPlotConfig> take_config(SPlotArguments& arguments) {
  fit::SPlotConfig config;
  if (arguments.weights) {
    std::vector<double> weights;
    if (!weights_to_vector(*arguments.weights, weights)) {
      return std::nullopt;
    }
    arguments.weights.reset();
    config.event_weights = std::move(weights);
  }
  config.initial_yields = std::move(arguments.initial_yields);
  config.max_steps = arguments.max_steps;
  config.tolerance = arguments.tolerance;
  return config;
}

// Before: the arguments hold ShapeParameter objects. After: their checked
// records in order, the objects released; or nullopt with the exception of
// the first unusable one raised, its note naming that parameter.
std::optional<std::vector<fit::ShapeParameter>> take_shape_parameters(
    SPlotArguments& arguments) {
  auto records = to_records(arguments.shape_parameters);
  if (records) {
    arguments.shape_parameters.clear();
  }
  return records;
}

// The initial shape-parameter point; with repeated names the later value
// wins here, and the engine rejects the repetition.
fit::ParameterMap initial_point_of(std::span<const fit::ShapeParameter> shape_parameters) {
  fit::ParameterMap point;
  for (const fit::ShapeParameter& parameter : shape_parameters) {
    point.insert_or_assign(parameter.name, parameter.initial);
  }
  return point;
}

// Before: the data and the PDFs have passed check_data_and_pdfs. Calls each
// PDF once at `initial_point`, in order. After: one checked output per PDF,
// or nullopt with the exception of the first failing probe raised.
std::optional<std::vector<std::vector<double>>> probe_pdfs(
    const SPlotArguments& arguments, const fit::ParameterMap& initial_point,
    std::size_t n_events) {
  PyRef initial_dict = parameters_to_python(initial_point);
  if (!initial_dict) {
    return std::nullopt;
  }
  std::vector<std::vector<double>> outputs(arguments.pdfs.size());
  for (std::size_t i = 0; i < arguments.pdfs.size(); ++i) {
    if (!probe_pdf(arguments.pdfs[i].get(), i, arguments.data.get(), initial_dict.get(),
                   n_events, outputs[i])) {
      return std::nullopt;
    }
  }
  return outputs;
}

// The fit engine's view of the PDFs: one adapter per PDF, its cache seeded
// with the probe output at the initial point, all sharing `interruption`
// and `exception_note`. A library model is evaluated natively, any other
// PDF through Python.
struct Adapters {
  std::vector<std::unique_ptr<fit::ParametricPdf>> owned;
  std::vector<fit::ParametricPdf*> pdfs;
};

Adapters make_adapters(const SPlotArguments& arguments, const fit::EventView& events,
                       std::vector<std::vector<double>>&& probe_outputs,
                       const fit::ParameterMap& initial_point, FitInterruption& interruption,
                       PdfExceptionNote& exception_note) {
  Adapters adapters;
  adapters.owned.reserve(arguments.pdfs.size());
  adapters.pdfs.reserve(arguments.pdfs.size());
  for (std::size_t i = 0; i < arguments.pdfs.size(); ++i) {
    PyObject* pdf = arguments.pdfs[i].get();
    if (auto model = read_native_model(pdf, events.width())) {
      adapters.owned.push_back(std::make_unique<NativeModelAdapter>(
          std::move(*model), pdf, arguments.data.get(), events, i, std::move(probe_outputs[i]),
          initial_point,
          interruption, exception_note));
    } else {
      adapters.owned.push_back(std::make_unique<PythonParametricPdf>(
          pdf, arguments.data.get(), i, events.size(), std::move(probe_outputs[i]),
          initial_point, interruption, exception_note));
    }
    adapters.pdfs.push_back(adapters.owned.back().get());
  }
  return adapters;
}

// The steps of one call, each leaving the exception raised when it fails;
// everything made for the call is released on the way out.
PyObject* run_splot(PyObject* module, PyObject* const* args, std::size_t nargs,
                    PyObject* kwnames) {
  const ModuleState& state = module_state(module);
  SPlotArguments arguments;
  if (!convert_splot_arguments(args, nargs, kwnames, state, arguments) ||
      !check_data_and_pdfs(arguments)) {
    return nullptr;
  }
  std::optional<fit::SPlotConfig> config = take_config(arguments);
  if (!config) {
    return nullptr;
  }
  const auto shape_parameters = take_shape_parameters(arguments);
  if (!shape_parameters) {
    return nullptr;
  }
  const fit::EventView events = view_events(arguments.data.get());
  const fit::ParameterMap initial_point = initial_point_of(*shape_parameters);
  // The PDFs see the data read-only from the probe until this call returns.
  const numpy::ReadOnlyGuard read_only(arguments.data.get());
  auto probe_outputs = probe_pdfs(arguments, initial_point, events.size());
  if (!probe_outputs) {
    return nullptr;
  }
  FitInterruption interruption;
  PdfExceptionNote exception_note;
  const Adapters adapters = make_adapters(arguments, events, std::move(*probe_outputs),
                                          initial_point, interruption, exception_note);
  auto outcome = fit::splot(events, adapters.pdfs, *shape_parameters, std::move(*config));
  if (interruption.pending()) {
    restore_raised_exception(interruption.take());
    return nullptr;
  }
  if (!outcome) {
    raise_fit_error(outcome.error());
    if (const std::string* note = exception_note.note_for(outcome.error())) {
      add_note(*note);
    }
    return nullptr;
  }
  return result_to_python(state.splot_result_type, std::move(*outcome)).release();
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

// The C entry point: a call counts against the recursion limit (see
// recursion_levels.hpp) for as long as it runs, so that deep nesting ends in
// RecursionError while the stack still has room, as it does for CPython's
// own builtins that call back into Python.
PyObject* splot_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  RecursionLevels levels;
  if (!levels.enter()) {
    return nullptr;
  }
  return guarded_splot(module, args, nargs, kwnames);
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
    "    configuration are invalid, or if a PDF is not callable or its first\n"
    "    output is not a one-dimensional ``float64`` array of ``n_events`` values.\n"
    "SPlotError\n"
    "    If a PDF raises an ``Exception`` during the fit or returns invalid\n"
    "    values, the optimizer fails numerically, or the yield information\n"
    "    matrix is singular. The message names the PDF's exception; a note\n"
    "    names the PDF and shows the last frames of the exception's traceback.\n"
    "Exception raised by a PDF\n"
    "    Each PDF is called once at the initial shape-parameter values before\n"
    "    the fit starts; an exception raised by that first call propagates\n"
    "    unchanged. An exception that is not an ``Exception`` subclass, such as\n"
    "    ``KeyboardInterrupt`` or ``SystemExit``, always propagates unchanged,\n"
    "    and so does one raised by a signal handler while the fit runs.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "PDF callables are vectorized over the complete data array. Their outputs\n"
    "are cached for each shape-parameter point to avoid reevaluating a PDF once\n"
    "per event.\n"    "\n"
    "The PDFs receive the data array read-only: its ``writeable`` flag, if set,\n"
    "is cleared from the first PDF call until ``splot`` returns.\n"
    "\n"
    "A PDF may call ``splot`` itself. Each call counts as two levels of the\n"
    "interpreter's recursion limit, so that nesting too deep ends in a\n"
    "``RecursionError`` in the PDF that nests rather than in a stack overflow.\n"
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
  return make_module_function(&splot_method, module);
}

}  // namespace tarnwick::python
