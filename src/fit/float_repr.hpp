// A double written as the model layer prints numbers in its messages.
#pragma once

#include <string>

namespace tarnwick::fit {

// The shortest decimal that reads back as the same double, positional when
// its decimal exponent e is in [-4, 16) and with at least one digit after
// the point ("1.0", "0.0001", "-0.0"), else in exponent form with a sign and
// at least two exponent digits ("1e-05", "1.5e+16"); "inf", "-inf", "nan".
[[nodiscard]] std::string float_repr(double value);

}  // namespace tarnwick::fit
