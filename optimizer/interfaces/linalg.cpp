#include "optimizer/interfaces/linalg.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnwick::optimizer::detail {

void internal_fault(const char* condition, const char* file, int line) noexcept {
  std::fprintf(stderr, "tarnwick: internal fault: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

}  // namespace tarnwick::optimizer::detail
