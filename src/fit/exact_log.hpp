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
#include <span>

namespace tarnwick::fit {

// The most values exact_log takes in one call.
inline constexpr std::size_t kExactLogBlock = 256;

// The ways exact_log can compute a block: the C library's log for every
// value, four or eight values at a time (x86-64 with AVX2 and FMA, or with
// AVX-512; each needs a C library whose log is known to be accurate enough).
enum class LogKernel { Library, FourLane, EightLane };

// Whether this machine runs `kernel`; Library always.
[[nodiscard]] bool log_kernel_available(LogKernel kernel);

// The fastest kernel this machine runs.
[[nodiscard]] LogKernel fastest_log_kernel();

// out[i] = std::log(x[i]) for every i, bit for bit, for any double (zero,
// negative, subnormal, infinite and NaN included). x.size() ≤ kExactLogBlock
// and out.size() ≥ x.size(); x and out may not overlap. Returns how many
// values were taken from std::log. The kernel must be available.
std::size_t exact_log(std::span<const double> x, std::span<double> out, LogKernel kernel);

// exact_log with the fastest kernel.
std::size_t exact_log(std::span<const double> x, std::span<double> out);

}  // namespace tarnwick::fit
