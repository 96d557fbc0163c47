// Mixture densities m_i = Σ_k y_k f_k(i), summed in component order from 0:
// one event's, and the floored two-component densities of a block of events
// (every variant: same operations, same order, no fused multiply-add, so the
// same bits as an event-by-event loop).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

namespace tarnwick::numerics {

// The mixture density of one event, summed in component order from 0, and
// whether every f_k(i) is zero.
struct Mixture {
  double density;
  bool all_zero;
  [[nodiscard]] bool stops() const {
    return all_zero || !(std::abs(density) < std::numeric_limits<double>::infinity());
  }
};

inline Mixture mixture_at(std::span<const std::span<const double>> f,
                          std::span<const double> yields, std::size_t i) {
  Mixture m{0.0, true};
  for (std::size_t k = 0; k < f.size(); ++k) {
    const double fk = f[k][i];
    m.all_zero &= fk == 0.0;
    m.density += yields[k] * fk;
  }
  return m;
}

// The first stopping event from `first` on; there must be one.
inline std::size_t first_stop(std::span<const std::span<const double>> f,
                              std::span<const double> yields, std::size_t first) {
  while (!mixture_at(f, yields, first).stops()) ++first;
  return first;
}

// density[j] = max((0 + y0·f0[j]) + y1·f1[j], floor) for j < n, each product
// and sum rounded on its own. Returns whether some event j < n has
// f0[j] = f1[j] = 0 or a mixture (before the floor) that is not finite.
// Four events at a time where the processor has AVX2 (dispatch.cpp).
bool two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                           std::size_t n, double floor, double* density);

}  // namespace tarnwick::numerics
