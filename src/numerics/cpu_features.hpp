// What the processor offers, for the kernels that pick a vector width when
// they first run: the compile-time guards, the run-time detection and the
// target attributes, each stated here only.
//
// A kernel is compiled for its instruction set with one of the TARNWICK_TARGET_*
// attributes and called only where the matching cpu_has_* returns true.
#pragma once

// x86-64 with GCC-style target attributes and intrinsics.
#if defined(__x86_64__) && defined(__GNUC__)
#define TARNWICK_X86_64 1
#include <immintrin.h>

// The vector logarithms also need a C library whose log is known to be
// accurate enough (glibc 2.28 and later: below 0.52 ulp, see exact_log.cpp).
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
#define TARNWICK_VECTOR_LOG 1
#endif

// Functions compiled for AVX2; AVX2 with FMA; AVX-512 (F, DQ and VL).
#define TARNWICK_TARGET_AVX2 __attribute__((target("avx2")))
#define TARNWICK_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))
#define TARNWICK_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl")))
#endif

namespace tarnwick::numerics {

// Whether the processor runs TARNWICK_TARGET_AVX2 code; false off x86-64.
[[nodiscard]] bool cpu_has_avx2();
// Whether it runs TARNWICK_TARGET_AVX2_FMA code.
[[nodiscard]] bool cpu_has_avx2_fma();
// Whether it runs TARNWICK_TARGET_AVX512 code.
[[nodiscard]] bool cpu_has_avx512();

}  // namespace tarnwick::numerics
