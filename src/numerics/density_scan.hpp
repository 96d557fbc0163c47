// The test a PDF's output must pass before the likelihood reads it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace tarnwick::numerics {

// The first value that is not a density, that is NaN, infinite or negative
// (−0 is a density), or none. Reads each value once, several at a time
// (density_scan.cpp).
[[nodiscard]] std::optional<std::size_t> first_invalid_density(
    std::span<const double> values) noexcept;

}  // namespace tarnwick::numerics
