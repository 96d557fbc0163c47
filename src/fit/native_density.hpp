// The densities of a NativeModel tree, leaf shapes and mixtures, in the
// order of operations of the models' NumPy code, and the check of its
// parameters in the order the models make it.
#pragma once

#include <span>

#include "fit/native_model.hpp"
#include "fit/native_shapes.hpp"

namespace tarnwick::fit {

// The density of `model` at the points `x` (a block, at most
// kDensityBlock) into out[0, x.size()), zero outside the window; `p` holds
// the tree's resolved parameters in pre-order. `all_inside` says whether
// every event of the column lies in the window, which chooses a mixture's
// arithmetic as it does the models'.
inline constexpr std::size_t kDensityBlock = 2048;
void model_density(const NativeModel& model, std::span<const double> p, bool all_inside,
                   std::span<const double> x, double* out);

// The checks of every node in pre-order, as the models resolve them: the
// first invalid or undecided value, or valid.
[[nodiscard]] NativeCheck check_model(const NativeModel& model, std::span<const double> p);

// Whether every leaf evaluates natively at its parameters.
[[nodiscard]] bool tree_evaluates_natively(const NativeModel& model, std::span<const double> p);

}  // namespace tarnwick::fit
