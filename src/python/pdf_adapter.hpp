// The bridge through which the fit engine evaluates a Python PDF.
//
// A PythonParametricPdf wraps one user callable, called as
// pdf(data, shape_parameters) on the whole data array with a dict of the
// shape-parameter values, and keeps its most recent output in a
// single-entry cache keyed by the shape-parameter point. Requests that
// differ only in the yields, which are most of the finite-difference steps
// of a fit, are therefore answered without calling Python.
#pragma once

#include <Python.h>

#include <cstddef>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fit/parametric_pdf.hpp"
#include "fit/splot_error.hpp"
#include "parameter_dicts.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

// Checks one PDF output: it must be a NumPy array (or subclass) with one
// dimension and a dtype equivalent to native float64, else the text is
// "PDF {index} must return a one-dimensional float64 NumPy array"; and it
// must hold n_events values, else "PDF {index} returned {length} values,
// expected {n_events}". On success the values are copied into `out`
// (resized to n_events) and no text is returned. May throw std::bad_alloc.
[[nodiscard]] std::optional<std::string> copy_pdf_output(PyObject* output, std::size_t index,
                                                         std::size_t n_events,
                                                         std::vector<double>& out);

// The exception that must end a fit and reach the caller of splot as it is:
// one that a PDF raised during the fit and that is not an Exception
// (KeyboardInterrupt, SystemExit). Shared by the adapters of one call; the
// first such exception is kept, and once it is set no adapter calls Python
// again.
class FitInterruption {
 public:
  [[nodiscard]] bool pending() const noexcept { return static_cast<bool>(exception_); }
  void set(PyRef exception) noexcept {
    if (!exception_) {
      exception_ = std::move(exception);
    }
  }
  [[nodiscard]] PyRef take() noexcept { return std::move(exception_); }

 private:
  PyRef exception_;
};

// The note for the SPlotError that reports a PDF's exception during the
// fit: which PDF raised it and where (raise_site_note), kept with the
// message of the engine error that carries the exception's text. Shared by
// the adapters of one call; each exception replaces the note of the one
// before (the fit ends at its first error, so that one is never reported).
class PdfExceptionNote {
 public:
  void set(std::string message, std::string note) noexcept {
    message_ = std::move(message);
    note_ = std::move(note);
  }
  // The note when `error` reports the exception it was made for, else null.
  [[nodiscard]] const std::string* note_for(const fit::SPlotError& error) const noexcept {
    const auto* evaluation = std::get_if<fit::PdfEvaluation>(&error);
    return evaluation != nullptr && !note_.empty() && evaluation->message == message_ ? &note_
                                                                                      : nullptr;
  }

 private:
  std::string message_;
  std::string note_;
};

class PythonParametricPdf final : public fit::ParametricPdf {
 public:
  // `callable` and `data` are borrowed and referenced anew; `data` is the
  // two-dimensional float64 array of the call, with n_events rows. The cache
  // starts with `seed_values` (the probe output) at `seed_parameters`. An
  // Exception of the PDF leaves its note in `exception_note`.
  // Requires the interpreter lock, as does destruction.
  PythonParametricPdf(PyObject* callable, PyObject* data, std::size_t index,
                      std::size_t n_events, std::vector<double> seed_values,
                      fit::ParameterMap seed_parameters, FitInterruption& interruption,
                      PdfExceptionNote& exception_note);

  PythonParametricPdf(const PythonParametricPdf&) = delete;
  PythonParametricPdf& operator=(const PythonParametricPdf&) = delete;
  ~PythonParametricPdf() override = default;

  // The PDF's values for all events of the call, in row order, tested once
  // when they arrived. `events` is not read: the adapter evaluates its own
  // data array, whose rows are the events. The view is valid until the next
  // call on this adapter.
  [[nodiscard]] std::expected<fit::PdfValues, fit::SPlotError> evaluate_batch(
      const fit::EventView& events, const fit::ParameterMap& parameters) override;

 private:
  // Runs the pending signal handlers; true when the fit must stop (a handler
  // raised, or another adapter's call was interrupted before).
  [[nodiscard]] bool signal_raised();
  // Makes the cache entry hold the values at `parameters`, calling Python on
  // a miss. Called with mutex_ held. Errors leave the entry as it was.
  [[nodiscard]] std::optional<fit::SPlotError> refresh(const fit::ParameterMap& parameters);
  // The Python call and the output checks of a miss; fills scratch_.
  [[nodiscard]] std::optional<std::string> call_python(const fit::ParameterMap& parameters);
  // The text of the PDF's raised exception for the engine error, after
  // handing it to interruption_ (not an Exception) or its note to
  // exception_note_.
  [[nodiscard]] std::string take_pdf_exception();

  // One output of the PDF: the array it returned, kept as it is when
  // nothing else can reach it (numpy::unshared_elements, and no weak
  // reference), or a copy of its values. Most PDFs return a fresh array, which is then never copied.
  struct Output {
    PyRef array;                // the kept array, or empty
    std::vector<double> copy;   // the values, when no array is kept
    std::span<const double> values;
  };

  PyRef callable_;
  PyRef data_;
  std::size_t index_;
  std::size_t n_events_;
  FitInterruption* interruption_;
  PdfExceptionNote* exception_note_;
  PyRef weakref_count_;  // _weakref.getweakrefcount: a kept output has no weak references

  // The cache. `values_` holds the PDF's output at `parameters_` and
  // `first_invalid_` the verdict of the density test on it; a miss fills
  // `scratch_` and, on success, swaps it in, so that copy buffers are reused
  // from evaluation to evaluation and the view handed out by the last call
  // stays intact until the next one. A kept array that is replaced is
  // released at once, under the interpreter lock.
  std::mutex mutex_;
  bool poisoned_ = false;  // set when an operation ended by an escaping fault
  bool has_entry_ = false;
  Output values_;
  std::optional<std::size_t> first_invalid_;
  fit::ParameterMap parameters_;
  Output scratch_;
  ParameterDicts dicts_;
};

}  // namespace tarnwick::python
