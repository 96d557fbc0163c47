// The object behind tarnwick.SPlotResult, shared by the type and its pickle
// support: its fields, its layout, its construction, and the pickle methods.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <variant>

#include "fit/splot_result.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

// The plain C++ part of a result, kept in raw storage inside the object:
// the fit's outcome and the number of components.
struct ResultFields : fit::FitOutcome {
  std::size_t n_components = 0;
};

// Where a field lives: an array is a float64 NumPy array held by the object
// (its position among the arrays and its number of dimensions); every other
// field is a member of ResultFields, and the member's type says how it is
// converted to and from Python (a dict of str to float, a float, a bool, a
// str, an int).
// The array fields, in table order; each one's value is its index in
// PySPlotResult::arrays and in ResultArrays.
enum class ArrayField : std::size_t { Yields, YieldErrors, Covariance, Sweights, FitCovariance };
inline constexpr std::size_t index_of(ArrayField field) noexcept {
  return static_cast<std::size_t>(field);
}
struct ArraySlot {
  ArrayField field;
  int ndim;
};
using FieldSlot =
    std::variant<ArraySlot, std::map<std::string, double> ResultFields::*,
                 double ResultFields::*, bool ResultFields::*, std::string ResultFields::*,
                 std::uint64_t ResultFields::*>;

struct ResultField {
  const char* name;
  FieldSlot slot;
  const char* doc;
};

// The attributes of a result in pickle order, which is also the order of the
// type's descriptors. The getters, their docstrings and the class's,
// __reduce__ and _rebuild are driven by this table; the arrays come first,
// then the dicts, then the scalars.
inline constexpr ResultField kResultFields[] = {
    {"yields", ArraySlot{ArrayField::Yields, 1},
     "Fitted component yields with shape ``(n_components,)``."},
    {"yield_errors", ArraySlot{ArrayField::YieldErrors, 1},
     "Yield uncertainties derived from the full joint covariance, with shape "
     "``(n_components,)``."},
    {"covariance", ArraySlot{ArrayField::Covariance, 2},
     "Event-summed sPlot covariance matrix for the fitted yields, with shape "
     "``(n_components, n_components)``."},
    {"sweights", ArraySlot{ArrayField::Sweights, 2},
     "Per-event sWeights with shape ``(n_events, n_components)``."},
    {"fit_covariance", ArraySlot{ArrayField::FitCovariance, 2},
     "Full covariance matrix from the joint fit. Yields precede shape parameters along both "
     "axes."},
    {"shape_parameters", &ResultFields::shape_parameters,
     "Fitted shape-parameter values keyed by parameter name."},
    {"shape_errors", &ResultFields::shape_errors,
     "Shape-parameter uncertainties keyed by parameter name."},
    {"minimum_nll", &ResultFields::minimum_nll, "Minimum joint negative log-likelihood."},
    {"success", &ResultFields::success, "Whether the optimizer reported successful convergence."},
    {"message", &ResultFields::message, "Optimizer termination message."},
    {"objective_evaluations", &ResultFields::objective_evaluations,
     "Number of objective-function evaluations."},
    {"gradient_evaluations", &ResultFields::gradient_evaluations,
     "Number of gradient evaluations."},
    {"hessian_evaluations", &ResultFields::hessian_evaluations, "Number of Hessian evaluations."},
};
inline constexpr std::size_t kResultFieldCount = std::size(kResultFields);
inline constexpr std::size_t kArrayFieldCount =
    static_cast<std::size_t>(std::ranges::count_if(kResultFields, [](const ResultField& field) {
      return std::holds_alternative<ArraySlot>(field.slot);
    }));

// Each array's index is its position in the table, so the arrays lead it,
// and every ArrayField has its entry.
static_assert([] {
  // No pointers here: the sanitizers' checks of pointers are not constant
  // expressions.
  for (std::size_t i = 0; i < kResultFieldCount; ++i) {
    const bool is_array = std::holds_alternative<ArraySlot>(kResultFields[i].slot);
    if (is_array != (i < kArrayFieldCount) ||
        (is_array && index_of(std::get<ArraySlot>(kResultFields[i].slot).field) != i)) {
      return false;
    }
  }
  return kArrayFieldCount == index_of(ArrayField::FitCovariance) + 1;
}());

struct PySPlotResult {
  PyObject_HEAD
  // The array fields, indexed by their ArraySlot.
  PyObject* arrays[kArrayFieldCount];
  // A ResultFields, built by placement new when the object is made and
  // destroyed in dealloc.
  alignas(ResultFields) unsigned char fields[sizeof(ResultFields)];
};

inline PySPlotResult* as_result(PyObject* self) noexcept {
  return reinterpret_cast<PySPlotResult*>(self);
}

inline ResultFields& fields_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<ResultFields*>(as_result(self)->fields));
}

// The array fields in table order.
using ResultArrays = std::array<PyRef, kArrayFieldCount>;

inline PyObject* array_of(const ResultArrays& arrays, ArrayField field) noexcept {
  return arrays[index_of(field)].get();
}

// A new result of `type` holding `fields` and taking over the references in
// `arrays` (also on failure). Empty with an exception set on failure.
[[nodiscard]] PyRef make_result(PyTypeObject* type, ResultFields&& fields,
                                ResultArrays arrays) noexcept;

// __reduce__: the result as a call of the classmethod _rebuild with its
// fields in table order.
PyObject* splot_result_reduce(PyObject* self, PyObject*) noexcept;
// _rebuild(*fields): a new result with copies of the pickled fields; the
// dimensions and the dict types are checked, so that a tampered pickle
// raises instead of making a result that breaks later.
PyObject* splot_result_rebuild(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace tarnwick::python
