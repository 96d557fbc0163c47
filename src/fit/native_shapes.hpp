// The shapes at the leaves of a NativeModel, each written as the models'
// NumPy code computes it, one rounded operation per NumPy operation: the
// density up to its normalisation, the normalisation (the mass over the
// window), the check of the parameters and whether a point is one the
// native arithmetic reproduces. `p` holds a leaf's own resolved parameters.
#pragma once

#include <span>
#include <string>

#include "fit/native_model.hpp"

namespace tarnwick::fit {

// The outcome of checking resolved parameters: valid; invalid, with the
// model's message; or undecided, a value only the model's own check can
// judge (its message being one the engine cannot write), so that the point
// is evaluated through Python.
struct NativeCheck {
  enum class Verdict { kValid, kInvalid, kUndecided };
  Verdict verdict = Verdict::kValid;
  std::string message;
};

// "{head}{value} {why}": the model's message for an invalid value.
[[nodiscard]] NativeCheck invalid_value(const NativeParameter& parameter, double value,
                                        const char* why);

// The unnormalised density at the points `x` (all inside the window, or
// outside, where the value is discarded) into out[0, x.size()).
void leaf_unnormalised(const NativeModel& leaf, std::span<const double> p,
                       std::span<const double> x, double* out);

// The integral of the unnormalised density over the window.
[[nodiscard]] double leaf_mass(const NativeModel& leaf, std::span<const double> p);

[[nodiscard]] NativeCheck leaf_check(const NativeModel& leaf, std::span<const double> p);

// Whether the native arithmetic reproduces the model's within a few ulp at
// the (valid) point `p`.
[[nodiscard]] bool leaf_evaluates_natively(const NativeModel& leaf, std::span<const double> p);

}  // namespace tarnwick::fit
