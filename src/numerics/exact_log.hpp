// The natural logarithm of many doubles, bit for bit equal to std::log of
// each value, computed in vector registers where the processor allows it.
//
// The vector path computes ln x accurately enough to know its correctly
// rounded value, and keeps that value only where the C library's log is
// certain to return it too; everywhere else (a few per cent of the values,
// and every value outside the normal positive doubles) std::log itself is
// called. See exact_log.cpp for the mathematics and the error bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick::numerics {

// The most values exact_log takes in one call.
inline constexpr std::size_t kExactLogBlock = 256;

// The ways exact_log can compute a block: the C library's log for every
// value, four or eight values at a time (x86-64 with AVX2 and FMA, or with
// AVX-512; each needs a C library whose log is known to be accurate enough).
enum class LogKernel { Library, FourLane, EightLane };

// The choice among them is dispatch.cpp's, as is every kernel choice of
// this floor.

// Whether this machine runs `kernel`; Library always.
[[nodiscard]] bool log_kernel_available(LogKernel kernel);

// The fastest kernel this machine runs.
[[nodiscard]] LogKernel fastest_log_kernel();

// out[i] = std::log(x[i]) for every i, bit for bit, for any double (zero,
// negative, subnormal, infinite and NaN included). x.size() ≤ kExactLogBlock
// and out.size() ≥ x.size(); x and out may not overlap. Returns how many
// values were taken from std::log. The kernel must be available. A broken
// precondition stops the program (TARNWICK_REQUIRE).
std::size_t exact_log(std::span<const double> x, std::span<double> out, LogKernel kernel);

// exact_log with the fastest kernel.
std::size_t exact_log(std::span<const double> x, std::span<double> out);

// For the vector kernels: the positions of a block whose logarithm is left
// to std::log (bit i % 64 of word i / 64 for position i).
class LibraryPositions {
 public:
  void mark(std::size_t i) { word_[i / 64] |= std::uint64_t{1} << (i % 64); }
  // Marks position i + l for every bit l set in `lanes` (i a multiple of 8).
  void mark_lanes(std::size_t i, std::uint64_t lanes) { word_[i / 64] |= lanes << (i % 64); }
  // y[i] = std::log(x[i]) at every marked position; returns how many.
  std::size_t fill(const double* x, double* y) const;

 private:
  std::uint64_t word_[kExactLogBlock / 64] = {};
};

}  // namespace tarnwick::numerics
