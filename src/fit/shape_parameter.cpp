#include "fit/shape_parameter.hpp"

#include <cmath>

#include "fit/number_format.hpp"

namespace tarnwick::fit {

std::expected<ShapeParameter, SPlotError> make_shape_parameter(std::string name, double initial,
                                                               double lower, double upper) {
  if (!std::isfinite(initial) || name.empty()) {
    return std::unexpected(InvalidInput{"shape parameter has an invalid name or initial value"});
  }
  if (lower >= upper) {
    return std::unexpected(InvalidInput{"lower bound must be strictly less than upper bound: lower=" +
                                        format_double(lower) + ", upper=" + format_double(upper)});
  }
  // A NaN bound passes the ordering test above: every comparison with NaN
  // is false.
  if (std::isnan(lower) || std::isnan(upper)) {
    return std::unexpected(InvalidInput{"lower or upper bound is NaN: lower=" +
                                        format_double(lower) + ", upper=" + format_double(upper)});
  }
  if (initial < lower || initial > upper) {
    return std::unexpected(InvalidInput{"bounds must contain initial value: initial=" +
                                        format_double(initial) + ", bounds=(" +
                                        format_double(lower) + ", " + format_double(upper) + ")"});
  }
  return ShapeParameter{std::move(name), initial, lower, upper};
}

}  // namespace tarnwick::fit
