#include "numerics/exact_sum.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace tarnwick::numerics {

namespace {

__extension__ using U128 = unsigned __int128;

constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
constexpr int kUnitExponent = -1074;  // the value of chunk 0's unit is 2⁻¹⁰⁷⁴

int leading_bit(U128 w) {
  const auto high = static_cast<std::uint64_t>(w >> 64);
  if (high != 0) return 127 - std::countl_zero(high);
  return 63 - std::countl_zero(static_cast<std::uint64_t>(w));
}

}  // namespace

void ExactSum::add(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const bool negative = (bits >> 63) != 0;
  const auto biased = static_cast<unsigned>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  any_term_ = true;
  if (!(x == 0.0 && negative)) only_negative_zeros_ = false;
  if (biased == 0x7FF) {
    if (fraction != 0) {
      nan_ = true;
    } else if (negative) {
      negative_infinity_ = true;
    } else {
      positive_infinity_ = true;
    }
    return;
  }
  if (biased == 0 && fraction == 0) return;
  // x = ±significand · 2^(q − 1074), q the position of its last bit.
  const std::uint64_t significand = biased == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
  const unsigned q = biased == 0 ? 0 : biased - 1;
  const std::size_t c = q / 32;
  const unsigned shift = q % 32;
  const std::uint64_t low = significand << shift;
  const std::uint64_t high = shift == 0 ? 0 : significand >> (64 - shift);
  const auto a0 = static_cast<std::int64_t>(low & kLow32);
  const auto a1 = static_cast<std::int64_t>(low >> 32);
  const auto a2 = static_cast<std::int64_t>(high);
  if (negative) {
    chunk_[c] -= a0;
    chunk_[c + 1] -= a1;
    chunk_[c + 2] -= a2;
  } else {
    chunk_[c] += a0;
    chunk_[c + 1] += a1;
    chunk_[c + 2] += a2;
  }
  touch(c, c + 2);
  if (++adds_since_carry_ == kAddsBeforeCarry) carry();
}

void ExactSum::carry() {
  adds_since_carry_ = 0;
  if (low_ > high_) return;
  constexpr std::int64_t kBase = std::int64_t{1} << 32;
  std::size_t c = low_;
  for (; c < high_; ++c) {
    const std::int64_t up = chunk_[c] >> 32;  // floor division by 2³²
    chunk_[c] -= up * kBase;
    chunk_[c + 1] += up;
  }
  // The top chunk passes on what does not fit it.
  while (c + 1 < kChunks && (chunk_[c] >= kBase || chunk_[c] <= -kBase)) {
    const std::int64_t up = chunk_[c] >> 32;
    chunk_[c] -= up * kBase;
    chunk_[c + 1] += up;
    ++c;
  }
  high_ = c;
}

void ExactSum::add(const ExactSum& other) {
  // Each chunk of `other` is at most (other.adds_since_carry_ + 1)·2³² in
  // magnitude and each of this one, carried, below 2³²: added unchanged,
  // they count as that many additions more.
  carry();
  if (other.low_ <= other.high_) {
    for (std::size_t c = other.low_; c <= other.high_; ++c) chunk_[c] += other.chunk_[c];
    touch(other.low_, other.high_);
  }
  adds_since_carry_ = other.adds_since_carry_ + 2;
  if (adds_since_carry_ >= kAddsBeforeCarry) carry();
  positive_infinity_ |= other.positive_infinity_;
  negative_infinity_ |= other.negative_infinity_;
  nan_ |= other.nan_;
  only_negative_zeros_ &= other.only_negative_zeros_;
  any_term_ |= other.any_term_;
}

double ExactSum::value() const {
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (nan_ || (positive_infinity_ && negative_infinity_)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (positive_infinity_) return inf;
  if (negative_infinity_) return -inf;

  ExactSum n = *this;
  n.carry();
  const bool negative = n.low_ <= n.high_ && n.chunk_[n.high_] < 0;
  if (negative) {
    for (std::size_t c = n.low_; c <= n.high_; ++c) n.chunk_[c] = -n.chunk_[c];
    n.carry();
  }
  // The highest chunk that is not zero.
  std::size_t h = n.high_ + 1;
  while (h > n.low_ && n.chunk_[h - 1] == 0) --h;
  if (n.low_ > n.high_ || h == n.low_) return any_term_ && only_negative_zeros_ ? -0.0 : 0.0;
  --h;
  const double sign = negative ? -1.0 : 1.0;
  if (h == kChunks - 1) return sign * inf;  // 2¹⁰³⁸ or more

  // The top three chunks as one integer W, in units of 2^unit_exponent;
  // anything below them only breaks ties. Chunks below low_ are zero.
  const std::size_t base = h >= 2 ? h - 2 : 0;
  U128 w = 0;
  for (std::size_t c = h + 1; c-- > base;) {
    w = (w << 32) | static_cast<std::uint64_t>(n.chunk_[c]);
  }
  bool sticky = false;
  for (std::size_t c = n.low_; c < base; ++c) sticky |= n.chunk_[c] != 0;
  const int unit_exponent = kUnitExponent + static_cast<int>(32 * base);

  const int lead = leading_bit(w);
  if (lead <= 52) {
    // Fewer than 54 bits, all of them here (base is 0): exact.
    return sign * std::ldexp(static_cast<double>(static_cast<std::uint64_t>(w)), unit_exponent);
  }
  const int shift = lead - 52;
  auto significand = static_cast<std::uint64_t>(w >> shift);
  const U128 rest = w & ((U128{1} << shift) - 1);
  const U128 half = U128{1} << (shift - 1);
  if (rest > half || (rest == half && (sticky || (significand & 1) != 0))) ++significand;
  // A carry to 2⁵³ is still exact as a double; ldexp overflows to ∞ exactly
  // when the rounded value is 2¹⁰²⁴ or more.
  return sign * std::ldexp(static_cast<double>(significand), unit_exponent + shift);
}

double exact_sum(std::span<const double> xs) {
  ExactSum sum;
  sum.add(xs);
  return sum.value();
}

}  // namespace tarnwick::numerics
