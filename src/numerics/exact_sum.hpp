// Sums of doubles rounded once: the value of a sum is the exact sum of its
// terms rounded to the nearest double (ties to even), whatever the order in
// which the terms were added, so that a sum split over blocks, vector lanes
// or threads has the same bits as one taken left to right in exact
// arithmetic. Python's math.fsum returns the same value.
//
// ExactSum holds the exact value as a fixed-point integer in units of the
// smallest subnormal, 2⁻¹⁰⁷⁴, wide enough for any finite double and its
// multiples: every addition is exact, and rounding happens once, in value().
// It costs a few nanoseconds a term; LaneSums (lane_sums.hpp) is the fast
// approximate path that falls back on it. Carries and rounding visit only
// the chunks between the lowest and the highest that a term reached, so a
// sum of terms of similar size rounds in a few dozen operations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick::numerics {

class ExactSum {
 public:
  // Adds x exactly. ±∞ and NaN are remembered: value() is then NaN if a NaN
  // or both infinities were added, else the infinity.
  void add(double x);
  void add(std::span<const double> xs) {
    for (const double x : xs) add(x);
  }
  // Adds another sum's terms exactly.
  void add(const ExactSum& other);

  // The exact sum rounded to nearest, ties to even; ±∞ when it is beyond
  // the largest double by half an ulp or more. An exact zero is −0 only when
  // every term was −0 (and there was one), else +0, as in IEEE addition.
  [[nodiscard]] double value() const;

 private:
  // Chunk c holds a signed multiple of 2^(32c − 1074); a double's 53-bit
  // significand, shifted to its place, falls on three consecutive chunks.
  static constexpr std::size_t kChunks = 67;
  // Additions of at most 2²¹ (top) or 2³² per chunk between carries: far
  // below 2⁶³ for this many.
  static constexpr std::uint32_t kAddsBeforeCarry = 1u << 29;

  // Brings chunks [low_, high_) into [0, 2³²) and chunk high_ into
  // (−2³², 2³²), moving high_ up as far as the carries reach (the last chunk
  // keeps whatever reaches it); the sum is unchanged, and so is its sign,
  // which is then the sign of chunk high_.
  void carry();
  // Marks chunks [low, high] as possibly not zero.
  void touch(std::size_t low, std::size_t high) {
    if (low < low_) low_ = low;
    if (high > high_) high_ = high;
  }

  std::array<std::int64_t, kChunks> chunk_{};
  // Every chunk outside [low_, high_] is zero; low_ > high_ when every
  // chunk is.
  std::size_t low_ = kChunks;
  std::size_t high_ = 0;
  std::uint32_t adds_since_carry_ = 0;
  bool positive_infinity_ = false;
  bool negative_infinity_ = false;
  bool nan_ = false;
  bool only_negative_zeros_ = true;  // and no term at all counts as +0
  bool any_term_ = false;
};

// The correctly rounded sum of xs.
[[nodiscard]] double exact_sum(std::span<const double> xs);

}  // namespace tarnwick::numerics
