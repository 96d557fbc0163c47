// Recognising a library model among the PDFs of a call and reading its
// description, and the adapter through which the engine evaluates it
// without calling Python.
//
// A model of tarnwick.models describes itself through its private method
// _native(): None when it is not evaluated natively (a shape outside the
// native set, a column read by name, an instance of a subclass, a Sum with
// such a component), else the plain tuple
//   (shape, column, (low, high), ((bound, message_head), ...))
// with shape "uniform", "gaussian", "exponential", "chebyshev" or
// "bernstein", and per parameter in keyword order its name (str) or fixed
// value (float) and the head of its ValueError message. A Sum is the tree
//   ("sum", column, (low, high), fractions, (component, ...), total_head)
// with its n − 1 fractions as parameters, the descriptions of its n
// components (on its column and window) and the head of the message for
// fractions adding up to more than 1 ("ValueError: Sum: the fractions (f,
// 0.2) add up to "). A Template ("template", no parameters) has its
// histogram as a fifth item (native_template_table.hpp). A Product, which
// is not a Model, is the root
//   ("product", column, (low, high), (), (factor, ...))
// of its factors' descriptions, each on a column of its own (the column
// and window are the first factor's).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <expected>
#include <optional>
#include <vector>

#include "fit/event_view.hpp"
#include "fit/native_model.hpp"
#include "fit/native_model_pdf.hpp"
#include "fit/parametric_pdf.hpp"
#include "pdf_adapter.hpp"

namespace tarnwick::python {

// The description of `pdf` when it is a library model evaluated natively on
// events `width` coordinates wide, else nullopt; never leaves an exception
// set (a description that cannot be read means the Python path). Requires
// the interpreter lock. May throw std::bad_alloc.
[[nodiscard]] std::optional<fit::NativeModel> read_native_model(PyObject* pdf,
                                                                std::size_t width);

// The engine's view of PDF `index`, a library model: evaluated by
// fit::NativeModelPdf, with the signal checks of a Python PDF's adapter and
// its error's note ("raised in PDF {index}") left in `exception_note`. The
// points the native evaluation does not take are evaluated by calling the
// model `pdf` on `data`, through a PythonParametricPdf of its own.
// Requires the interpreter lock, as does destruction.
class NativeModelAdapter final : public fit::ParametricPdf {
 public:
  NativeModelAdapter(fit::NativeModel model, PyObject* pdf, PyObject* data,
                     const fit::EventView& events, std::size_t index,
                     std::vector<double> seed_values, fit::ParameterMap seed_parameters,
                     FitInterruption& interruption, PdfExceptionNote& exception_note);

  [[nodiscard]] std::expected<fit::PdfValues, fit::SPlotError> evaluate_batch(
      const fit::EventView& events, const fit::ParameterMap& parameters) override;

  // The native evaluation shares the fit's threads; the fallback, which
  // calls Python, does not.
  void share_threads(fit::WorkerThreads* threads) noexcept override {
    pdf_.share_threads(threads);
  }

  // Points off the caller's thread are the native evaluation's; the signal
  // check of a batch of them is made here, before it.
  [[nodiscard]] bool may_evaluate_off_thread() const noexcept override { return true; }
  [[nodiscard]] std::expected<bool, fit::SPlotError> prepare_off_thread() override;
  [[nodiscard]] std::optional<std::expected<fit::PdfValues, fit::SPlotError>> evaluate_into(
      const fit::ParameterMap& parameters, std::vector<double>& out) const override;

 private:
  PythonParametricPdf fallback_;
  fit::NativeModelPdf pdf_;
  std::size_t index_;
  FitInterruption* interruption_;
  PdfExceptionNote* exception_note_;

  // An interruption pending or raised now, as the error that ends the fit.
  [[nodiscard]] std::optional<fit::SPlotError> interrupted();
};

// A new builtin function `_native_model_evaluations()` bound to `module`:
// the number of native evaluations that missed a model's cache since the
// module was loaded (for tests of the cache). Null with an exception set on
// failure.
[[nodiscard]] PyObject* make_native_evaluations_function(PyObject* module) noexcept;

// A new builtin function `_native_densities(model, data, parameters)` bound
// to `module` (native_densities.cpp): the native densities of a library
// model at one point, or None where it takes the Python path (for tests
// that compare them with the model's NumPy evaluation). Null with an
// exception set on failure.
[[nodiscard]] PyObject* make_native_densities_function(PyObject* module) noexcept;

}  // namespace tarnwick::python
