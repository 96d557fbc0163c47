// exp(c − m·ln(1 + y)) over an array, with the exponent carried in
// double-double: the power laws of the Crystal Ball tails.
#pragma once

#include <span>

#include "numerics/double_double.hpp"

namespace tarnwick::numerics {

// ln(1 + y) as a double-double, for
// −1 < y < 2¹⁰⁰⁰. With 1 + y = s + e exactly (two-sum) and 2ᵏ the power of
// two that brings u = (s + e)/2ᵏ into [√½, √2),
//   ln(1 + y) = k ln 2 + 2 atanh(t),   t = (u − 1)/(u + 1), |t| ≤ 0.172,
// atanh t = t + t³/3 + t⁵ Q(t²), t and t³/3 in double-double and Q (eleven
// terms of Σ t²ʲ/(2j + 5), the rest below 2⁻⁶⁶ of t) in double: within
// 2⁻⁶⁴ of the value, relatively (measured against 50-digit values).
[[nodiscard]] dd::DoubleDouble log1p_double_double(double y) noexcept;

// values[i] = exp(offset − power·ln(1 + values[i])) for every i. Where
// |exponent| is large, a single rounding of ln(1 + y) (or of the product
// with the power) moves the result by about |exponent| ulp; here the
// exponent is formed in double-double and exp(hi + lo) taken as
// exp(hi)(1 + lo), so the result is within about 1.3 ulp of the exact value
// of exp(offset − power·ln(1 + y)) for the given doubles. Values outside
// (−1, 2¹⁰⁰⁰) and non-finite ones take the plain double arithmetic, as do
// all where |power| or |offset| ≥ 2⁹⁰⁰. The widest variant the CPU has,
// chosen in dispatch.cpp; every variant gives the same bits.
void power_law_in_place(std::span<double> values, double power, double offset) noexcept;

}  // namespace tarnwick::numerics
