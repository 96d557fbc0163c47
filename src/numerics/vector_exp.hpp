// exp over a whole array in a form the compiler vectorises.
#pragma once

#include <span>

namespace tarnwick::numerics {

// values[i] = exp(values[i]) for every i (the widest variant the CPU has,
// chosen in dispatch.cpp; every variant gives the same bits), within about ¾ ulp of the exact
// value. For |x| ≤ 708: exp(x) = 2ᵏ p(r), k = round(x/ln 2) and
// r = x − k ln 2 (|r| ≤ ½ ln 2, with ln 2 split into a 32-bit head whose
// product with k is exact and a tail), p the Taylor polynomial of degree 13,
// whose remainder r¹⁴/14! is below 2⁻⁵⁷; 2ᵏ is built from k's bits. Other
// values (subnormal or infinite results, NaN) are taken by std::exp.
void exp_in_place(std::span<double> values) noexcept;

}  // namespace tarnwick::numerics
