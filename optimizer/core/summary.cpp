#include "optimizer/core/summary.hpp"

#include <limits>

namespace tarnwick::optimizer {

Vector unknown_uncertainties(Eigen::Index n) {
  return Vector::Constant(n, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace tarnwick::optimizer
