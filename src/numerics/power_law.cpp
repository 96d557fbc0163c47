// The power law, the portable variant (kernel_variants.hpp), and the
// double-double ln(1 + y) on its own.
#include "numerics/power_law.hpp"

#include "numerics/kernel_variants.hpp"
#include "numerics/power_law_body.hpp"

namespace tarnwick::numerics {

dd::DoubleDouble log1p_double_double(double y) noexcept { return power_law_detail::log1p_dd<false>(y); }

void portable_power_law_in_place(std::span<double> values, double power,
                                 double offset) noexcept {
  power_law_detail::power_law_blocks<false>(values, power, offset);
}

}  // namespace tarnwick::numerics
