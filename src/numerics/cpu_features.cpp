#include "numerics/cpu_features.hpp"

namespace tarnwick::numerics {

#ifdef TARNWICK_X86_64

namespace {

// The features behind the target attributes of cpu_features.hpp.
struct Features {
  bool avx2;
  bool fma;
  bool avx512;
};

Features detect() {
  __builtin_cpu_init();
  return {__builtin_cpu_supports("avx2") != 0, __builtin_cpu_supports("fma") != 0,
          __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
              __builtin_cpu_supports("avx512vl")};
}

const Features& features() {
  static const Features f = detect();
  return f;
}

}  // namespace

bool cpu_has_avx2() { return features().avx2; }
bool cpu_has_avx2_fma() { return features().avx2 && features().fma; }
bool cpu_has_avx512() { return features().avx512; }

#else

bool cpu_has_avx2() { return false; }
bool cpu_has_avx2_fma() { return false; }
bool cpu_has_avx512() { return false; }

#endif

}  // namespace tarnwick::numerics
