#include "pdf_adapter.hpp"

#include <exception>
#include <new>
#include <utility>

#include "error_mapping.hpp"
#include "numpy_api.hpp"

namespace tarnwick::python {
namespace {

// Marks the cache lock as poisoned when the scope it guards is left by an
// escaping C++ exception rather than by a return.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(bool& poisoned) noexcept
      : poisoned_(poisoned), exceptions_(std::uncaught_exceptions()) {}
  PoisonOnUnwind(const PoisonOnUnwind&) = delete;
  PoisonOnUnwind& operator=(const PoisonOnUnwind&) = delete;
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) {
      poisoned_ = true;
    }
  }

 private:
  bool& poisoned_;
  int exceptions_;
};

// Holds the interpreter lock for a scope, taking it only if the calling
// thread does not hold it already (on the splot path it always does).
class InterpreterLock {
 public:
  InterpreterLock() noexcept : acquired_(PyGILState_Check() == 0) {
    if (acquired_) {
      state_ = PyGILState_Ensure();
    }
  }
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;
  ~InterpreterLock() {
    if (acquired_) {
      PyGILState_Release(state_);
    }
  }

 private:
  bool acquired_;
  PyGILState_STATE state_{};
};

// _weakref.getweakrefcount, or empty (with no exception set) when it cannot
// be had.
PyRef weakref_counter() noexcept {
  PyRef module = PyRef::steal(PyImport_ImportModule("_weakref"));
  PyRef count =
      module ? PyRef::steal(PyObject_GetAttrString(module.get(), "getweakrefcount")) : PyRef();
  if (!count) {
    PyErr_Clear();
  }
  return count;
}

// Whether a weak reference reaches `object`, through which the PDF could
// still change it. Unknown counts as yes; no exception is left set.
bool weakly_referenced(PyObject* count, PyObject* object) noexcept {
  if (count == nullptr) {
    return true;
  }
  PyRef n = PyRef::steal(PyObject_CallOneArg(count, object));
  const long value = n ? PyLong_AsLong(n.get()) : -1;
  if (value == -1) {
    PyErr_Clear();
  }
  return value != 0;
}

fit::SPlotError pdf_error(std::string message) {
  return fit::PdfEvaluation{std::move(message)};
}

}  // namespace

std::optional<std::string> copy_pdf_output(PyObject* output, std::size_t index,
                                           std::size_t n_events, std::vector<double>& out) {
  if (!numpy::is_float64_array(output, 1)) {
    return "PDF " + std::to_string(index) + " must return a one-dimensional float64 NumPy array";
  }
  const numpy::VectorView view = numpy::vector_view(output);
  if (view.length != n_events) {
    return fit::pdf_count_message(index, view.length, n_events);
  }
  out.resize(n_events);
  numpy::copy_elements(view, out.data());
  return std::nullopt;
}

PythonParametricPdf::PythonParametricPdf(PyObject* callable, PyObject* data, std::size_t index,
                                         std::size_t n_events, std::vector<double> seed_values,
                                         fit::ParameterMap seed_parameters,
                                         FitInterruption& interruption,
                                         PdfExceptionNote& exception_note)
    : callable_(PyRef::borrow(callable)),
      data_(PyRef::borrow(data)),
      index_(index),
      n_events_(n_events),
      interruption_(&interruption),
      exception_note_(&exception_note),
      weakref_count_(weakref_counter()),
      has_entry_(true),
      values_{PyRef(), std::move(seed_values), {}},
      parameters_(std::move(seed_parameters)) {
  values_.values = values_.copy;
  first_invalid_ = numerics::first_invalid_density(values_.values);
}

std::expected<fit::PdfValues, fit::SPlotError> PythonParametricPdf::evaluate_batch(
    const fit::EventView& /*events*/, const fit::ParameterMap& parameters) {
  std::lock_guard lock(mutex_);
  if (poisoned_) {
    return std::unexpected(pdf_error("Python PDF cache lock was poisoned"));
  }
  PoisonOnUnwind guard(poisoned_);
  if (signal_raised()) {
    return std::unexpected(pdf_error("the fit was interrupted"));
  }
  if (auto error = refresh(parameters)) {
    return std::unexpected(std::move(*error));
  }
  return fit::PdfValues{values_.values, first_invalid_};
}

bool PythonParametricPdf::signal_raised() {
  // Every evaluation of the fit passes here, cache hits included, so a
  // Ctrl-C is seen within one evaluation even when no PDF is called.
  InterpreterLock interpreter;
  if (interruption_->pending()) {
    return true;
  }
  if (PyErr_CheckSignals() == 0) {
    return false;
  }
  // Whatever the handler raised (KeyboardInterrupt for SIGINT) ends the fit
  // and reaches the caller as it is.
  if (PyRef exception = take_raised_exception()) {
    interruption_->set(std::move(exception));
  }
  return true;
}

std::optional<fit::SPlotError> PythonParametricPdf::refresh(const fit::ParameterMap& parameters) {
  // A hit needs the same names and values compared with ==, so a NaN value
  // never matches and 0.0 matches -0.0.
  if (has_entry_ && parameters_ == parameters) {
    return std::nullopt;
  }
  if (auto text = call_python(parameters)) {
    return pdf_error(std::move(*text));
  }
  // The values cannot change while they are cached, so they are tested for
  // densities once, here.
  first_invalid_ = numerics::first_invalid_density(scratch_.values);
  parameters_ = parameters;
  std::swap(values_, scratch_);
  has_entry_ = true;
  if (scratch_.array) {
    // The replaced output is not needed any more: an array goes now (a copy
    // buffer stays, to be refilled).
    InterpreterLock interpreter;
    scratch_.array = PyRef();
    scratch_.values = {};
  }
  return std::nullopt;
}

std::optional<std::string> PythonParametricPdf::call_python(const fit::ParameterMap& parameters) {
  InterpreterLock interpreter;
  if (interruption_->pending()) {
    return "the fit was interrupted";
  }
  scratch_.array = PyRef();
  scratch_.values = {};
  PyRef result;
  PyRef dict = dicts_.make(parameters);
  if (dict) {
    PyObject* arguments[] = {data_.get(), dict.get()};
    result = PyRef::steal(PyObject_Vectorcall(callable_.get(), arguments, 2, nullptr));
  }
  if (!result) {
    return take_pdf_exception();
  }
  if (numpy::is_float64_array(result.get(), 1) &&
      !weakly_referenced(weakref_count_.get(), result.get())) {
    auto unshared = numpy::unshared_elements(result.get());
    if (unshared && unshared->size() == n_events_) {
      scratch_.values = *unshared;
      scratch_.array = std::move(result);
      return std::nullopt;
    }
  }
  auto text = copy_pdf_output(result.get(), index_, n_events_, scratch_.copy);
  scratch_.values = scratch_.copy;
  return text;
}

std::string PythonParametricPdf::take_pdf_exception() {
  PyRef exception = take_raised_exception();
  if (!exception) {
    return "<unknown exception>: the PDF call failed without an exception";
  }
  std::string text = describe_exception(exception.get());
  if (PyErr_GivenExceptionMatches(exception.get(), PyExc_Exception) == 0) {
    // KeyboardInterrupt, SystemExit and the like end the fit and reach
    // the caller unchanged.
    interruption_->set(std::move(exception));
    return text;
  }
  // The exception itself is not kept: its traceback holds the PDF's frames
  // and their locals. Where it was raised is written down now.
  std::string note = raise_site_note(exception.get(), index_);
  if (PyRef interrupted = take_raised_exception()) {
    interruption_->set(std::move(interrupted));
  }
  exception_note_->set(text, std::move(note));
  return text;
}

}  // namespace tarnwick::python
