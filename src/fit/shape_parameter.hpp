// A named shape parameter shared by the component PDFs.
#pragma once

#include <expected>
#include <string>

#include "fit/splot_error.hpp"

namespace tarnwick::fit {

struct ShapeParameter {
  std::string name;  // unique and non-empty; the key the PDFs receive
  double initial = 0.0;
  double lower = 0.0;  // inclusive; may be −∞
  double upper = 0.0;  // inclusive; may be +∞
  friend bool operator==(const ShapeParameter&, const ShapeParameter&) = default;
};

// The checked construction. Tests in this order, the first failure winning
// (all InvalidInput):
//  1. initial finite and name non-empty,
//  2. not (lower >= upper),
//  3. neither bound NaN,
//  4. lower <= initial <= upper.
[[nodiscard]] std::expected<ShapeParameter, SPlotError> make_shape_parameter(std::string name,
                                                                             double initial,
                                                                             double lower,
                                                                             double upper);

}  // namespace tarnwick::fit
