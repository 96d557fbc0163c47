// The portable two-component mixture; the AVX2 one is mixture_avx2.cpp.
#include "numerics/mixture.hpp"

#include <algorithm>

#include "numerics/kernel_variants.hpp"

namespace tarnwick::numerics {

bool portable_two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                                    std::size_t n, double floor, double* density) {
  bool stops = false;
  for (std::size_t j = 0; j < n; ++j) {
    double m = 0.0;
    m += y0 * f0[j];
    m += y1 * f1[j];
    stops |= (f0[j] == 0.0 && f1[j] == 0.0) ||
             !(std::abs(m) < std::numeric_limits<double>::infinity());
    density[j] = std::max(m, floor);
  }
  return stops;
}

}  // namespace tarnwick::numerics
