// The floored two-component mixture density of a block of events, computed
// four events at a time where the processor has AVX2 (same operations, same
// order, no fused multiply-add: the same bits as an event-by-event loop).
#pragma once

#include <cstddef>

namespace tarnwick::fit {

// density[j] = max((0 + y0·f0[j]) + y1·f1[j], floor) for j < n, each product
// and sum rounded on its own. Returns whether some event j < n has
// f0[j] = f1[j] = 0 or a mixture (before the floor) that is not finite.
bool two_component_mixture(const double* f0, const double* f1, double y0, double y1,
                           std::size_t n, double floor, double* density);

}  // namespace tarnwick::fit
