// exp over an array, the portable variant (kernel_variants.hpp).
#include "numerics/kernel_variants.hpp"
#include "numerics/vector_exp_body.hpp"

namespace tarnwick::numerics {

void portable_exp_in_place(std::span<double> values) noexcept {
  exp_detail::exp_blocks(values);
}

}  // namespace tarnwick::numerics
