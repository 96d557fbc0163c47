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

// out[i] = std::log(x[i]) for every i, bit for bit, for any double (zero,
// negative, subnormal, infinite and NaN included). x.size() ≤ kExactLogBlock
// and out.size() ≥ x.size(); x and out may not overlap. Returns how many
// values were taken from std::log.
std::size_t exact_log(std::span<const double> x, std::span<double> out);

// Whether exact_log uses its vector path on this machine (x86-64 with AVX2
// and FMA, and a C library whose log is known to be accurate enough);
// otherwise every value comes from std::log.
[[nodiscard]] bool exact_log_is_vectorised();

}  // namespace tarnwick::fit
