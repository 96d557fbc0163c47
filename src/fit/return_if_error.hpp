// The one way the fit engine passes an error on to its caller.
#pragma once

#include <expected>
#include <utility>

// TARNWICK_RETURN_IF_ERROR(result): `result` names a std::expected (an
// lvalue, evaluated twice). When it holds an error, the enclosing function
// returns that error, moved out, as std::unexpected; the function's own error
// type must be constructible from it. When it holds a value, nothing happens
// and the value stays in `result`.
#define TARNWICK_RETURN_IF_ERROR(result)                        \
  do {                                                          \
    if (!(result)) return std::unexpected(std::move((result).error())); \
  } while (false)
