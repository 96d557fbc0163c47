// The body of every power_law_in_place variant, inlined into each so that
// it is compiled for that variant's target (power_law.hpp). Straight-line
// double-double steps on every value, written for the compiler to
// vectorise; only the operations written are rounded (the numerics target
// keeps -ffp-contract=off), so every variant gives the same bits. kFused
// takes the exact products with an explicit fma where the target has one:
// the product's error is a double either way, so the bits are the same.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

#include "numerics/double_double.hpp"
#include "numerics/vector_exp_body.hpp"

namespace tarnwick::numerics::power_law_detail {

using dd::DoubleDouble;

// ln 2 = kLn2Head + kLn2Tail with a 42-bit head, so that k·kLn2Head is
// exact for |k| < 2¹¹ and k·kLn2Tail errs by 2⁻⁹⁶ of k ln 2 at most.
constexpr double kLn2Head = 0x1.62e42fefa3800p-1;
constexpr double kLn2Tail = 0x1.ef35793c7673p-45;
// 1/3 as a double-double.
constexpr DoubleDouble kThird = {0x1.5555555555555p-2, 0x1.5555555555555p-56};
constexpr std::int64_t kSqrt2Mantissa = 0x6a09e667f3bcd;  // √2's 52 fraction bits
constexpr std::int64_t kFractionMask = 0xfffffffffffff;
// Outside (−1, kLargest) ln(1 + y) is taken in plain double arithmetic.
constexpr double kLargest = 0x1p1000;

[[gnu::always_inline]] inline DoubleDouble two_sum(double a, double b) noexcept {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

[[gnu::always_inline]] inline DoubleDouble fast_two_sum(double a, double b) noexcept {
  const double s = a + b;
  return {s, b - (s - a)};
}

template <bool kFused>
[[gnu::always_inline]] inline DoubleDouble two_product(double a, double b) noexcept {
  const double p = a * b;
  if constexpr (kFused) return {p, std::fma(a, b, -p)};
  const double ta = 134217729.0 * a;  // Veltkamp's split, 2²⁷ + 1
  const double ah = ta - (ta - a);
  const double al = a - ah;
  const double tb = 134217729.0 * b;
  const double bh = tb - (tb - b);
  const double bl = b - bh;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

[[gnu::always_inline]] inline DoubleDouble add_dd(DoubleDouble a, DoubleDouble b) noexcept {
  const DoubleDouble s = two_sum(a.hi, b.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

// add_dd where |a.hi| ≥ |b.hi| or a.hi = 0.
[[gnu::always_inline]] inline DoubleDouble add_ordered(DoubleDouble a, DoubleDouble b) noexcept {
  const DoubleDouble s = fast_two_sum(a.hi, b.hi);
  return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

template <bool kFused>
[[gnu::always_inline]] inline DoubleDouble multiply_dd(DoubleDouble a, DoubleDouble b) noexcept {
  const DoubleDouble p = two_product<kFused>(a.hi, b.hi);
  return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// a / b: a first quotient digit from the reciprocal of b.hi, the remainder
// (nearly exact), a second digit from the same reciprocal; one division,
// and a quotient within about 2⁻¹⁰⁰ of a/b.
template <bool kFused>
[[gnu::always_inline]] inline DoubleDouble divide_dd(DoubleDouble a, DoubleDouble b) noexcept {
  const double reciprocal = 1.0 / b.hi;
  const double q1 = a.hi * reciprocal;
  const DoubleDouble p = multiply_dd<kFused>({q1, 0.0}, b);
  const DoubleDouble remainder = add_dd(a, {-p.hi, -p.lo});
  return two_sum(q1, remainder.hi * reciprocal);
}

// ln(1 + y) for −1 < y < kLargest (power_law.hpp): 1 + y = s + e exactly,
// u = (s + e)/2ᵏ in [√½, √2), k ln 2 + 2 atanh((u − 1)/(u + 1)).
template <bool kFused>
[[gnu::always_inline]] inline DoubleDouble log1p_dd(double y) noexcept {
  const DoubleDouble one_plus = two_sum(1.0, y);
  const std::int64_t bits = std::bit_cast<std::int64_t>(one_plus.hi);
  const std::int64_t field = (bits >> 52) + ((bits & kFractionMask) >= kSqrt2Mantissa ? 1 : 0);
  // k = field − 1023, as a double without an integer conversion; 2⁻ᵏ.
  const double k = std::bit_cast<double>(field | 0x4330000000000000) - (0x1p52 + 1023.0);
  const double scale = std::bit_cast<double>((2046 - field) << 52);
  const DoubleDouble u = {one_plus.hi * scale, one_plus.lo * scale};
  // u.hi − 1 is exact, and 0 or at least 2⁻⁵³ ≥ |u.lo|.
  const DoubleDouble numerator = fast_two_sum(u.hi - 1.0, u.lo);
  const DoubleDouble denominator = add_ordered(two_sum(u.hi, 1.0), {u.lo, 0.0});
  const DoubleDouble t = divide_dd<kFused>(numerator, denominator);
  const DoubleDouble t2 = multiply_dd<kFused>(t, t);
  const DoubleDouble t3 = multiply_dd<kFused>(t2, t);
  // t⁵ Σ_{j=0}^{10} t²ʲ/(2j + 5): the rest of the series is below 2⁻⁶⁶ of t.
  const double w = t2.hi;
  double q = 1.0 / 25.0;
  q = q * w + 1.0 / 23.0;
  q = q * w + 1.0 / 21.0;
  q = q * w + 1.0 / 19.0;
  q = q * w + 1.0 / 17.0;
  q = q * w + 1.0 / 15.0;
  q = q * w + 1.0 / 13.0;
  q = q * w + 1.0 / 11.0;
  q = q * w + 1.0 / 9.0;
  q = q * w + 1.0 / 7.0;
  q = q * w + 1.0 / 5.0;
  const DoubleDouble atanh =
      add_ordered(add_ordered(t, multiply_dd<kFused>(t3, kThird)), {t3.hi * w * q, 0.0});
  // k ln 2 is 0 or larger than 2 |atanh t| ≤ 0.35.
  const DoubleDouble scaled = {k * kLn2Head, k * kLn2Tail};
  return add_ordered(scaled, {2.0 * atanh.hi, 2.0 * atanh.lo});
}

// The exponent offset − power·ln(1 + y), a double-double.
template <bool kFused>
[[gnu::always_inline]] inline DoubleDouble exponent(double y, double power,
                                                    double offset) noexcept {
  const DoubleDouble log = log1p_dd<kFused>(y);
  DoubleDouble product = two_product<kFused>(power, log.hi);
  product.lo += power * log.lo;
  DoubleDouble sum = two_sum(offset, -product.hi);
  sum.lo -= product.lo;
  return fast_two_sum(sum.hi, sum.lo);
}

template <bool kFused>
[[gnu::always_inline]] inline void power_law_blocks(std::span<double> values, double power,
                                                    double offset) noexcept {
  constexpr std::size_t kBlock = 256;
  std::array<double, kBlock> inputs;
  std::array<double, kBlock> low;
  // Beyond 2⁹⁰⁰ Veltkamp's split of the power or the sums could overflow.
  const bool split_safe = std::fabs(power) < 0x1p900 && std::fabs(offset) < 0x1p900;
  for (std::size_t start = 0; start < values.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, values.size() - start);
    double* data = values.data() + start;
    std::uint64_t plain = split_safe ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
      inputs[i] = data[i];
      const bool inside = data[i] > -1.0 && data[i] < kLargest;
      plain |= inside ? std::uint64_t{0} : std::uint64_t{1};
      const DoubleDouble e = exponent<kFused>(inside ? data[i] : 0.0, power, offset);
      data[i] = e.hi;
      low[i] = e.lo;
    }
    if (plain != 0) {
      for (std::size_t i = 0; i < n; ++i) {
        if (!split_safe || !(inputs[i] > -1.0 && inputs[i] < kLargest)) {
          data[i] = offset - power * std::log1p(inputs[i]);
          low[i] = 0.0;
        }
      }
    }
    exp_detail::exp_blocks({data, n});
    for (std::size_t i = 0; i < n; ++i) {
      // (An overflowed exp stays infinite rather than becoming ∞ − ∞.)
      data[i] = data[i] < INFINITY ? data[i] + data[i] * low[i] : data[i];
    }
  }
}

}  // namespace tarnwick::numerics::power_law_detail
