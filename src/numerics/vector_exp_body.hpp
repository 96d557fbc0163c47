// The body of every exp_in_place variant, inlined into each so that it is
// compiled for that variant's target: exp(x) = 2ᵏ p(r) (vector_exp.hpp).
// Only the operations written here are rounded: the numerics target keeps
// -ffp-contract=off, so no variant fuses a product into a sum and all give
// the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

namespace tarnwick::numerics::exp_detail {

constexpr double kLog2e = 0x1.71547652b82fep0;
constexpr double kLn2Head = 0x1.62e42fee00000p-1;
constexpr double kLn2Tail = 0x1.a39ef35793c76p-33;
// Adding 1.5·2⁵² rounds to an integer held in the low mantissa bits.
constexpr double kShifter = 0x1.8p52;
constexpr double kFastLimit = 708.0;

[[gnu::always_inline]] inline double exp_core(double x) noexcept {
  const double shifted = x * kLog2e + kShifter;
  const double k = shifted - kShifter;
  const std::int64_t ki = std::bit_cast<std::int64_t>(shifted) - std::bit_cast<std::int64_t>(kShifter);
  const double r = (x - k * kLn2Head) - k * kLn2Tail;
  // exp(r) = 1 + (r + r² q(r)), q the Taylor terms from 1/2! to 1/13! by
  // Horner: the sum in brackets is below ½ in magnitude, so the final
  // addition's rounding dominates and the result stays within about ¾ ulp.
  double q = 1.0 / 6227020800.0;
  q = q * r + 1.0 / 479001600.0;
  q = q * r + 1.0 / 39916800.0;
  q = q * r + 1.0 / 3628800.0;
  q = q * r + 1.0 / 362880.0;
  q = q * r + 1.0 / 40320.0;
  q = q * r + 1.0 / 5040.0;
  q = q * r + 1.0 / 720.0;
  q = q * r + 1.0 / 120.0;
  q = q * r + 1.0 / 24.0;
  q = q * r + 1.0 / 6.0;
  q = q * r + 0.5;
  const double p = 1.0 + (r + (r * r) * q);
  return p * std::bit_cast<double>((ki + 1023) << 52);
}


[[gnu::always_inline]] inline void exp_blocks(std::span<double> values) noexcept {
  // In blocks: the clamped inputs go through the vectorised core; in a
  // block holding a value outside the fast range (NaN included), those are
  // then redone by std::exp from a copy of the block's inputs.
  constexpr std::size_t kBlock = 256;
  std::array<double, kBlock> inputs;
  for (std::size_t start = 0; start < values.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, values.size() - start);
    double* data = values.data() + start;
    for (std::size_t i = 0; i < n; ++i) inputs[i] = data[i];
    // A 64-bit flag per lane, the width of a double, so the test vectorises.
    std::uint64_t slow = 0;
    for (std::size_t i = 0; i < n; ++i) {
      slow |= std::fabs(inputs[i]) <= kFastLimit ? std::uint64_t{0} : std::uint64_t{1};
    }
    for (std::size_t i = 0; i < n; ++i) {
      double x = inputs[i] > kFastLimit ? kFastLimit : inputs[i];
      x = x < -kFastLimit ? -kFastLimit : x;
      data[i] = exp_core(x);
    }
    if (slow == 0) continue;
    for (std::size_t i = 0; i < n; ++i) {
      if (!(std::fabs(inputs[i]) <= kFastLimit)) data[i] = std::exp(inputs[i]);
    }
  }
}

}  // namespace tarnwick::numerics::exp_detail
