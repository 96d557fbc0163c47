// The densities of a NativeModel tree, leaf shapes and mixtures, in the
// order of operations of the models' NumPy code, and the check of its
// parameters in the order the models make it.
#pragma once

#include <span>
#include <vector>

#include "fit/native_model.hpp"
#include "fit/native_shapes.hpp"

namespace tarnwick::fit {

// The unnormalised densities of some leaves of a tree (ones that read no
// shape parameter) at every event of the tree's column, kept so that they
// are computed once; found by the leaf's address.
struct KeptLeaves {
  std::vector<const NativeModel*> leaves;
  std::vector<std::vector<double>> values;

  // The leaf's values from the column's first event, or null.
  [[nodiscard]] const double* find(const NativeModel& leaf) const noexcept;
};

// The density of `model` (not a product) at the points `x` (a block, at
// most kDensityBlock) into out[0, x.size()), zero outside the window; `p`
// holds the tree's resolved parameters in pre-order. `all_inside` says
// whether every event of the column lies in the window, which chooses a
// mixture's arithmetic as it does the models'. A leaf in `kept` takes its
// values from there, x[0] being the event `row` of the column.
inline constexpr std::size_t kDensityBlock = 2048;
void model_density(const NativeModel& model, std::span<const double> p, bool all_inside,
                   std::span<const double> x, double* out, const KeptLeaves* kept = nullptr,
                   std::size_t row = 0);

// The checks of every node in pre-order, as the models resolve them: the
// first invalid or undecided value, or valid.
[[nodiscard]] NativeCheck check_model(const NativeModel& model, std::span<const double> p);

// Whether every leaf evaluates natively at its parameters.
[[nodiscard]] bool tree_evaluates_natively(const NativeModel& model, std::span<const double> p);

}  // namespace tarnwick::fit
