#include "native_model.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "error_mapping.hpp"
#include "fit/native_polynomials.hpp"
#include "module_function.hpp"
#include "native_template_table.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {
namespace {

std::atomic<std::size_t> native_evaluations{0};

std::optional<fit::NativeShape> shape_named(std::string_view name) {
  if (name == "uniform") return fit::NativeShape::kUniform;
  if (name == "gaussian") return fit::NativeShape::kGaussian;
  if (name == "exponential") return fit::NativeShape::kExponential;
  if (name == "chebyshev") return fit::NativeShape::kChebyshev;
  if (name == "bernstein") return fit::NativeShape::kBernstein;
  if (name == "crystal_ball_low") return fit::NativeShape::kCrystalBallLow;
  if (name == "crystal_ball_high") return fit::NativeShape::kCrystalBallHigh;
  if (name == "double_crystal_ball") return fit::NativeShape::kDoubleCrystalBall;
  if (name == "sum") return fit::NativeShape::kSum;
  if (name == "template") return fit::NativeShape::kTemplate;
  if (name == "product") return fit::NativeShape::kProduct;
  return std::nullopt;
}

// Whether a shape reads `count` parameters.
bool parameters_fit(fit::NativeShape shape, std::size_t count) {
  switch (shape) {
    case fit::NativeShape::kChebyshev:
      return count <= fit::kMaxPolynomialCoefficients;
    case fit::NativeShape::kBernstein:
      return count >= 1 && count <= fit::kMaxPolynomialCoefficients;
    case fit::NativeShape::kSum:
      return true;
    default:
      return static_cast<long>(count) == fit::parameter_count(shape);
  }
}

// The items of a shape's description: a Sum's components and message
// head, a Template's table, a Product's factors follow the parameters.
Py_ssize_t description_size(fit::NativeShape shape) {
  switch (shape) {
    case fit::NativeShape::kSum:
      return 6;
    case fit::NativeShape::kTemplate:
    case fit::NativeShape::kProduct:
      return 5;
    default:
      return 4;
  }
}

std::optional<std::string> utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// One (bound, message_head) pair of a description.
std::optional<fit::NativeParameter> read_parameter(PyObject* pair) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return std::nullopt;
  PyObject* bound = PyTuple_GET_ITEM(pair, 0);
  auto head = utf8(PyTuple_GET_ITEM(pair, 1));
  if (!head) return std::nullopt;
  fit::NativeParameter parameter;
  parameter.message_head = std::move(*head);
  if (PyFloat_CheckExact(bound)) {
    parameter.fixed = PyFloat_AS_DOUBLE(bound);
    return parameter;
  }
  auto name = utf8(bound);
  if (!name || name->empty()) return std::nullopt;
  parameter.name = std::move(*name);
  return parameter;
}

std::optional<fit::NativeModel> read_description(PyObject* description, std::size_t width);

// A Sum's components and message head, the last two items of its
// description; false when they are not a tuple of one description more
// than fractions, each on the Sum's column and window, and a str.
bool read_components(PyObject* description, std::size_t width, fit::NativeModel& sum) {
  if (PyTuple_GET_SIZE(description) != 6) return false;
  PyObject* components = PyTuple_GET_ITEM(description, 4);
  auto head = utf8(PyTuple_GET_ITEM(description, 5));
  if (!head || !PyTuple_Check(components) ||
      static_cast<std::size_t>(PyTuple_GET_SIZE(components)) != sum.parameters.size() + 1) {
    return false;
  }
  sum.total_head = std::move(*head);
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(components); ++k) {
    auto component = read_description(PyTuple_GET_ITEM(components, k), width);
    if (!component || component->shape == fit::NativeShape::kProduct ||
        component->column != sum.column || component->low != sum.low ||
        component->high != sum.high) {
      return false;
    }
    sum.components.push_back(std::move(*component));
  }
  return true;
}

// A Product's factors, the last item of its description: false when they
// are not a tuple of descriptions (none a Product) on different columns.
bool read_factors(PyObject* factors, std::size_t width, fit::NativeModel& product) {
  if (!PyTuple_Check(factors) || PyTuple_GET_SIZE(factors) == 0) return false;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(factors); ++k) {
    auto factor = read_description(PyTuple_GET_ITEM(factors, k), width);
    if (!factor || factor->shape == fit::NativeShape::kProduct) return false;
    for (const fit::NativeModel& before : product.components) {
      if (before.column == factor->column) return false;
    }
    product.components.push_back(std::move(*factor));
  }
  return true;
}

// The rest of a description after the parameters, by shape.
bool read_parts(PyObject* description, std::size_t width, fit::NativeModel& model) {
  switch (model.shape) {
    case fit::NativeShape::kSum:
      return read_components(description, width, model);
    case fit::NativeShape::kProduct:
      return read_factors(PyTuple_GET_ITEM(description, 4), width, model);
    case fit::NativeShape::kTemplate:
      model.table = read_template_table(PyTuple_GET_ITEM(description, 4));
      return model.table != nullptr;
    default:
      return true;
  }
}

// The tuple returned by _native(), read; nullopt when it is not one.
std::optional<fit::NativeModel> read_description(PyObject* description, std::size_t width) {
  if (!PyTuple_Check(description) || PyTuple_GET_SIZE(description) < 4) return std::nullopt;
  const auto name = utf8(PyTuple_GET_ITEM(description, 0));
  const auto shape = name ? shape_named(*name) : std::nullopt;
  PyObject* column = PyTuple_GET_ITEM(description, 1);
  PyObject* window = PyTuple_GET_ITEM(description, 2);
  PyObject* parameters = PyTuple_GET_ITEM(description, 3);
  if (!shape || !PyLong_CheckExact(column) || !PyTuple_Check(window) ||
      PyTuple_GET_SIZE(window) != 2 || !PyFloat_CheckExact(PyTuple_GET_ITEM(window, 0)) ||
      !PyFloat_CheckExact(PyTuple_GET_ITEM(window, 1)) || !PyTuple_Check(parameters) ||
      !parameters_fit(*shape, static_cast<std::size_t>(PyTuple_GET_SIZE(parameters))) ||
      PyTuple_GET_SIZE(description) != description_size(*shape)) {
    return std::nullopt;
  }
  fit::NativeModel model;
  model.shape = *shape;
  const long long index = PyLong_AsLongLong(column);
  if (index < 0 || static_cast<unsigned long long>(index) >= width) return std::nullopt;
  model.column = static_cast<std::size_t>(index);
  model.low = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(window, 0));
  model.high = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(window, 1));
  if (!(std::isfinite(model.low) && std::isfinite(model.high) && model.low < model.high)) {
    return std::nullopt;
  }
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(parameters); ++k) {
    auto parameter = read_parameter(PyTuple_GET_ITEM(parameters, k));
    if (!parameter) return std::nullopt;
    model.parameters.push_back(std::move(*parameter));
  }
  if (!read_parts(description, width, model)) return std::nullopt;
  return model;
}

// Whether `pdf` is an instance of tarnwick.models.Model or Product. The
// models are looked up only when they were imported: no PDF can be one
// otherwise.
bool is_library_model(PyObject* pdf) {
  PyRef name = PyRef::steal(PyUnicode_FromString("tarnwick.models"));
  PyRef models = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
  if (!models) return false;
  for (const char* type : {"Model", "Product"}) {
    PyRef base = PyRef::steal(PyObject_GetAttrString(models.get(), type));
    if (base && PyObject_IsInstance(pdf, base.get()) == 1) return true;
  }
  return false;
}

}  // namespace

std::optional<fit::NativeModel> read_native_model(PyObject* pdf, std::size_t width) {
  std::optional<fit::NativeModel> model;
  if (is_library_model(pdf)) {
    PyRef description = PyRef::steal(PyObject_CallMethod(pdf, "_native", nullptr));
    if (description && description.get() != Py_None) {
      model = read_description(description.get(), width);
    }
  }
  if (PyErr_Occurred() != nullptr) {
    // KeyboardInterrupt and the like are seen again at the fit's first
    // signal check; anything else only means the Python path.
    PyErr_Clear();
  }
  return model;
}

NativeModelAdapter::NativeModelAdapter(fit::NativeModel model, PyObject* pdf, PyObject* data,
                                       const fit::EventView& events, std::size_t index,
                                       std::vector<double> seed_values,
                                       fit::ParameterMap seed_parameters,
                                       FitInterruption& interruption,
                                       PdfExceptionNote& exception_note)
    : fallback_(pdf, data, index, events.size(), seed_values, seed_parameters, interruption,
                exception_note),
      pdf_(std::move(model), events, std::move(seed_values), std::move(seed_parameters),
           &fallback_),
      index_(index),
      interruption_(&interruption),
      exception_note_(&exception_note) {}

std::expected<fit::PdfValues, fit::SPlotError> NativeModelAdapter::evaluate_batch(
    const fit::EventView& events, const fit::ParameterMap& parameters) {
  // Every evaluation passes a signal check, as a Python PDF's does, so a
  // Ctrl-C ends a fit of native models too.
  if (auto error = interrupted()) return std::unexpected(std::move(*error));
  const std::size_t before = pdf_.computations();
  auto values = pdf_.evaluate_batch(events, parameters);
  native_evaluations.fetch_add(pdf_.computations() - before, std::memory_order_relaxed);
  if (!values && !pdf_.answered_by_fallback()) {
    // (The fallback's errors carry the note of the Python call.)
    if (const auto* error = std::get_if<fit::PdfEvaluation>(&values.error())) {
      exception_note_->set(error->message, "raised in PDF " + std::to_string(index_));
    }
  }
  return values;
}

std::optional<fit::SPlotError> NativeModelAdapter::interrupted() {
  if (interruption_->pending()) return fit::PdfEvaluation{"the fit was interrupted"};
  if (PyErr_CheckSignals() != 0) {
    if (PyRef exception = take_raised_exception()) interruption_->set(std::move(exception));
    return fit::PdfEvaluation{"the fit was interrupted"};
  }
  return std::nullopt;
}

std::expected<bool, fit::SPlotError> NativeModelAdapter::prepare_off_thread() {
  if (auto error = interrupted()) return std::unexpected(std::move(*error));
  return pdf_.prepare_off_thread();
}

std::optional<std::expected<fit::PdfValues, fit::SPlotError>> NativeModelAdapter::evaluate_into(
    const fit::ParameterMap& parameters, std::vector<double>& out) const {
  const std::size_t before = pdf_.computations();
  auto values = pdf_.evaluate_into(parameters, out);
  native_evaluations.fetch_add(pdf_.computations() - before, std::memory_order_relaxed);
  return values;
}

namespace {

PyObject* native_evaluations_entry(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return PyLong_FromSize_t(native_evaluations.load(std::memory_order_relaxed));
}

PyMethodDef native_evaluations_method = {
    "_native_model_evaluations", native_evaluations_entry, METH_NOARGS,
    "_native_model_evaluations()\n--\n\nThe native model evaluations computed so far."};

}  // namespace

PyObject* make_native_evaluations_function(PyObject* module) noexcept {
  return make_module_function(&native_evaluations_method, module);
}

}  // namespace tarnwick::python
