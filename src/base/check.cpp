#include "base/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnwick::detail {

void internal_fault(const char* condition, const char* file, int line) noexcept {
  std::fprintf(stderr, "tarnwick: internal fault: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

}  // namespace tarnwick::detail
