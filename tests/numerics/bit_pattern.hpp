// The bit pattern of a double and back, for tests that compare results
// bit for bit.
#pragma once

#include <bit>
#include <cstdint>

namespace tarnwick::numerics::testing {

inline std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

inline double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

}  // namespace tarnwick::numerics::testing
