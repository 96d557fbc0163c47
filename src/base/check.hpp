// The always-on check: a condition whose failure is a fault of the calling
// code (a shape mismatch, a precondition broken), never an error value. It
// stays on in release builds and stops the program with the condition.
#pragma once

namespace tarnwick::detail {
// Prints "tarnwick: internal fault: <condition> (<file>:<line>)" and aborts.
[[noreturn]] void internal_fault(const char* condition, const char* file, int line) noexcept;
}  // namespace tarnwick::detail

// Stops the program when `condition` is false.
#define TARNWICK_REQUIRE(condition)                                              \
  do {                                                                           \
    if (!(condition)) {                                                          \
      ::tarnwick::detail::internal_fault(#condition, __FILE__, __LINE__);        \
    }                                                                            \
  } while (false)
