#include "pdf_adapter.hpp"

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
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

fit::SPlotError pdf_error(std::string message) {
  return fit::PdfEvaluation{std::move(message)};
}

// Element 0 of an event as an unsigned index: truncated toward zero, NaN and
// negative values giving 0, values beyond the largest 64-bit unsigned
// integer giving that maximum.
std::uint64_t event_index(double value) noexcept {
  constexpr double kBeyondMax = 18446744073709551616.0;  // 2^64
  if (!(value > 0.0)) {
    return 0;
  }
  if (value >= kBeyondMax) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(value);
}

}  // namespace

PyRef parameters_to_python(const fit::ParameterMap& parameters) noexcept {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) {
    return {};
  }
  for (const auto& [name, value] : parameters) {
    PyRef key = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    PyRef number = PyRef::steal(PyFloat_FromDouble(value));
    if (!key || !number || PyDict_SetItem(dict.get(), key.get(), number.get()) < 0) {
      return {};
    }
  }
  return dict;
}

std::optional<std::string> copy_pdf_output(PyObject* output, std::size_t index,
                                           std::size_t n_events, std::vector<double>& out) {
  if (!numpy::is_float64_array(output, 1)) {
    return "PDF " + std::to_string(index) + " must return a one-dimensional float64 NumPy array";
  }
  const numpy::VectorView view = numpy::vector_view(output);
  if (view.length != n_events) {
    return "PDF " + std::to_string(index) + " returned " + std::to_string(view.length) +
           " values, expected " + std::to_string(n_events);
  }
  out.resize(n_events);
  numpy::copy_elements(view, out.data());
  return std::nullopt;
}

PythonParametricPdf::PythonParametricPdf(PyObject* callable, PyObject* data, std::size_t index,
                                         std::size_t n_events, std::vector<double> seed_values,
                                         fit::ParameterMap seed_parameters,
                                         FitInterruption& interruption)
    : callable_(PyRef::borrow(callable)),
      data_(PyRef::borrow(data)),
      index_(index),
      n_events_(n_events),
      interruption_(&interruption),
      has_entry_(true),
      values_(std::move(seed_values)),
      parameters_(std::move(seed_parameters)) {}

std::expected<double, fit::SPlotError> PythonParametricPdf::evaluate(
    std::span<const double> event, const fit::ParameterMap& parameters) {
  const std::uint64_t index = event_index(event.empty() ? 0.0 : event[0]);
  std::lock_guard lock(mutex_);
  if (poisoned_) {
    return std::unexpected(pdf_error("Python PDF cache lock was poisoned"));
  }
  PoisonOnUnwind guard(poisoned_);
  if (auto error = refresh(parameters)) {
    return std::unexpected(std::move(*error));
  }
  if (index < values_.size()) {
    return values_[index];
  }
  return std::unexpected(
      pdf_error("event index " + std::to_string(index) + " is outside the Python PDF output"));
}

std::expected<std::span<const double>, fit::SPlotError> PythonParametricPdf::evaluate_batch(
    const fit::EventTable& /*events*/, const fit::ParameterMap& parameters) {
  std::lock_guard lock(mutex_);
  if (poisoned_) {
    return std::unexpected(pdf_error("Python PDF cache lock was poisoned"));
  }
  PoisonOnUnwind guard(poisoned_);
  if (auto error = refresh(parameters)) {
    return std::unexpected(std::move(*error));
  }
  return std::span<const double>(values_);
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
  parameters_ = parameters;
  values_.swap(scratch_);
  has_entry_ = true;
  return std::nullopt;
}

std::optional<std::string> PythonParametricPdf::call_python(const fit::ParameterMap& parameters) {
  InterpreterLock interpreter;
  if (interruption_->pending()) {
    return "the fit was interrupted";
  }
  PyRef result;
  PyRef dict = parameters_to_python(parameters);
  if (dict) {
    PyObject* arguments[] = {data_.get(), dict.get()};
    result = PyRef::steal(PyObject_Vectorcall(callable_.get(), arguments, 2, nullptr));
  }
  if (!result) {
    PyRef exception = take_raised_exception();
    if (!exception) {
      return "<unknown exception>: the PDF call failed without an exception";
    }
    std::string text = describe_exception(exception.get());
    if (PyErr_GivenExceptionMatches(exception.get(), PyExc_Exception) == 0) {
      // KeyboardInterrupt, SystemExit and the like end the fit and reach
      // the caller unchanged.
      interruption_->set(std::move(exception));
    }
    return text;
  }
  return copy_pdf_output(result.get(), index_, n_events_, scratch_);
}

}  // namespace tarnwick::python
