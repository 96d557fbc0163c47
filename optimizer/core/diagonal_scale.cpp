#include "optimizer/core/diagonal_scale.hpp"

#include <algorithm>
#include <utility>

namespace tarnwick::optimizer {

DiagonalScale::DiagonalScale(const Vector& scale, Box box)
    : scale_(scale), external_(std::move(box)) {
  TARNWICK_REQUIRE(scale_.size() == external_.lower.size());
  TARNWICK_REQUIRE((scale_.array() > 0.0).all() && scale_.allFinite());
  internal_.lower = scale_.cwiseProduct(external_.lower);
  internal_.upper = scale_.cwiseProduct(external_.upper);
}

DiagonalScale DiagonalScale::identity(Box box) {
  const Vector ones = Vector::Ones(box.lower.size());
  return DiagonalScale(ones, std::move(box));
}

Vector DiagonalScale::to_internal(const Vector& x) const {
  TARNWICK_REQUIRE(x.size() == scale_.size());
  return scale_.cwiseProduct(x);
}

Vector DiagonalScale::to_external(const Vector& z) const {
  TARNWICK_REQUIRE(z.size() == scale_.size());
  Vector x(z.size());
  for (Eigen::Index i = 0; i < z.size(); ++i) {
    if (z[i] <= internal_.lower[i]) {
      x[i] = external_.lower[i];
    } else if (z[i] >= internal_.upper[i]) {
      x[i] = external_.upper[i];
    } else {
      x[i] = std::clamp(z[i] / scale_[i], external_.lower[i], external_.upper[i]);
    }
  }
  return x;
}

Vector DiagonalScale::gradient_to_internal(const Vector& gradient) const {
  TARNWICK_REQUIRE(gradient.size() == scale_.size());
  return gradient.cwiseQuotient(scale_);
}

}  // namespace tarnwick::optimizer
