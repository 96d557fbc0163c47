#include "numerics/power_law.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "numerics/vector_exp.hpp"

namespace tarnwick::numerics {
namespace {

constexpr double kLn2Hi = 0x1.62e42fefa39efp-1;   // ln 2 = kLn2Hi + kLn2Lo
constexpr double kLn2Lo = 0x1.abc9e3b39803fp-56;
constexpr std::uint64_t kSqrt2Mantissa = 0x6a09e667f3bcdULL;  // √2's 52 fraction bits
constexpr std::size_t kBlock = 256;

dd::DoubleDouble negate(dd::DoubleDouble a) { return {-a.hi, -a.lo}; }

// a / b for double-doubles: one quotient digit, the remainder, a second.
dd::DoubleDouble divide(dd::DoubleDouble a, dd::DoubleDouble b) {
  const double q1 = a.hi / b.hi;
  const dd::DoubleDouble remainder = dd::add(a, negate(dd::multiply({q1, 0.0}, b)));
  return dd::fast_two_sum(q1, remainder.hi / b.hi);
}

// Σ_{j=0}^{10} w^j/(2j + 5) by Horner's rule.
double series_tail(double w) {
  double sum = 1.0 / 25.0;
  for (int j = 9; j >= 0; --j) sum = sum * w + 1.0 / (2.0 * j + 5.0);
  return sum;
}

// The exponent offset − power·ln(1 + y) as a double-double.
dd::DoubleDouble exponent(double y, double power, double offset) {
  const dd::DoubleDouble log = log1p_double_double(y);
  dd::DoubleDouble product = dd::two_product(power, log.hi);
  product.lo += power * log.lo;
  dd::DoubleDouble sum = dd::two_sum(offset, -product.hi);
  sum.lo -= product.lo;
  return dd::fast_two_sum(sum.hi, sum.lo);
}

}  // namespace

dd::DoubleDouble log1p_double_double(double y) noexcept {
  const dd::DoubleDouble one_plus = dd::two_sum(1.0, y);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(one_plus.hi);
  std::int64_t k = static_cast<std::int64_t>(bits >> 52) - 1023;
  if ((bits & 0xfffffffffffffULL) >= kSqrt2Mantissa) ++k;
  // 2⁻ᵏ exactly (|k| ≤ 1000 here), so u = (s + e)·2⁻ᵏ is exact.
  const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(1023 - k) << 52);
  const dd::DoubleDouble u = {one_plus.hi * scale, one_plus.lo * scale};
  const dd::DoubleDouble numerator = dd::two_sum(u.hi - 1.0, u.lo);  // u.hi − 1 is exact
  const dd::DoubleDouble denominator = dd::add(dd::two_sum(u.hi, 1.0), {u.lo, 0.0});
  const dd::DoubleDouble t = divide(numerator, denominator);
  const dd::DoubleDouble t2 = dd::multiply(t, t);
  const dd::DoubleDouble t3 = dd::multiply(t2, t);
  dd::DoubleDouble atanh = dd::add(t, dd::divide(t3, 3.0));
  atanh = dd::add(atanh, {t3.hi * t2.hi * series_tail(t2.hi), 0.0});
  const double kd = static_cast<double>(k);
  dd::DoubleDouble scaled = dd::two_product(kd, kLn2Hi);
  scaled.lo += kd * kLn2Lo;
  return dd::add(scaled, {2.0 * atanh.hi, 2.0 * atanh.lo});
}

void power_law_in_place(std::span<double> values, double power, double offset) noexcept {
  std::array<double, kBlock> low{};
  for (std::size_t start = 0; start < values.size(); start += kBlock) {
    const std::span<double> block = values.subspan(start, std::min(kBlock, values.size() - start));
    for (std::size_t i = 0; i < block.size(); ++i) {
      const double y = block[i];
      if (y > -1.0 && y < 0x1p1000) {
        const dd::DoubleDouble e = exponent(y, power, offset);
        block[i] = e.hi;
        low[i] = e.lo;
      } else {
        block[i] = offset - power * std::log1p(y);
        low[i] = 0.0;
      }
    }
    exp_in_place(block);
    for (std::size_t i = 0; i < block.size(); ++i) {
      // (An overflowed exp stays infinite rather than becoming ∞ − ∞.)
      block[i] = block[i] < INFINITY ? block[i] + block[i] * low[i] : block[i];
    }
  }
}

}  // namespace tarnwick::numerics
