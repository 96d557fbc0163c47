// What the processor offers, for the code paths that pick a vector width
// when they first run.
#pragma once

namespace tarnwick::fit {

// Whether the processor is x86-64 with AVX2.
[[nodiscard]] inline bool cpu_has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

}  // namespace tarnwick::fit
