// The Crystal Ball shapes (a Gaussian core with a power-law tail on one or
// both sides) as the models' NumPy code computes them, in standardised
// coordinates t = (x − μ)/σ and scaled by the density at the window's peak.
// `p` holds the leaf's resolved parameters: (mu, sigma, alpha, n) for one
// tail, (mu, sigma, alpha_low, n_low, alpha_high, n_high) for two.
#pragma once

#include <span>

#include "fit/native_model.hpp"
#include "fit/native_shapes.hpp"

namespace tarnwick::fit {

[[nodiscard]] constexpr bool is_crystal_ball(NativeShape shape) noexcept {
  return shape == NativeShape::kCrystalBallLow || shape == NativeShape::kCrystalBallHigh ||
         shape == NativeShape::kDoubleCrystalBall;
}

// The core by the models' operations; the tails exp(−β²/2 − log f(t₀) −
// m log r) with the exponent in double-double (numerics/power_law.hpp), so
// that they are within about 1.3 ulp of that expression's exact value where
// the models' own rounding of m·log r can cost |exponent| ulp.
void crystal_ball_unnormalised(const NativeModel& leaf, std::span<const double> p,
                               std::span<const double> x, double* out);

// The integral over the window, piece by piece as the models sum it: the
// low tail, the high tail, the core.
[[nodiscard]] double crystal_ball_mass(const NativeModel& leaf, std::span<const double> p);

// The models' check, keyword by keyword: mu finite, sigma and each alpha
// positive and finite, each n finite and above 1.
[[nodiscard]] NativeCheck crystal_ball_check(const NativeModel& leaf,
                                             std::span<const double> p);

// Whether the core's piece of the mass is one the native arithmetic
// reproduces (the erf form, away from cancelling erf terms), or there is
// no core piece.
[[nodiscard]] bool crystal_ball_evaluates_natively(const NativeModel& leaf,
                                                   std::span<const double> p);

}  // namespace tarnwick::fit
