// The polynomial shapes of the models, Chebyshev and Bernstein series on
// the window, as their NumPy code evaluates them: the coefficients
// converted to powers of the reduced variable (Chebyshev as NumPy's
// cheb2poly does, term by term; Bernstein as sums of integer multiples of
// the coefficients, each rounded once), then Horner's rule.
#pragma once

#include <cstddef>
#include <span>

#include "fit/native_model.hpp"
#include "fit/native_shapes.hpp"

namespace tarnwick::fit {

// The most coefficients a polynomial evaluated natively has.
inline constexpr std::size_t kMaxPolynomialCoefficients = 32;

// p: c_1, …, c_n (the constant term being 1).
void chebyshev_unnormalised(double low, double high, std::span<const double> p,
                            std::span<const double> x, double* out);
[[nodiscard]] double chebyshev_mass(double low, double high, std::span<const double> p);
// Valid where the series is provably positive on the window (every
// computed value the model's check takes is then positive too), else
// undecided: the model finds the minimum itself and words the message.
[[nodiscard]] NativeCheck chebyshev_check(std::span<const double> p);

// p: c_0, …, c_n.
void bernstein_unnormalised(double low, double high, std::span<const double> p,
                            std::span<const double> x, double* out);
[[nodiscard]] double bernstein_mass(double low, double high, std::span<const double> p);
[[nodiscard]] NativeCheck bernstein_check(const NativeModel& leaf, std::span<const double> p);

}  // namespace tarnwick::fit
