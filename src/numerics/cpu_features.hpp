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

// The words of the processor's answers that the detection reads: CPUID leaf
// 1's ECX, leaf 7 subleaf 0's EBX (zero where the processor has no leaf 7)
// and the extended control register XCR0 (read with XGETBV; zero where the
// operating system has not enabled XSAVE, CPUID.1:ECX.OSXSAVE clear).
struct CpuidWords {
  unsigned leaf1_ecx;
  unsigned leaf7_ebx;
  unsigned long long xcr0;
};

// Which TARNWICK_TARGET_* code may run.
struct CpuFeatures {
  bool avx2;
  bool avx2_fma;
  bool avx512;
};

// The features the words grant: an instruction set counts only where the
// processor has it and the operating system saves its registers on a
// context switch (XCR0's SSE and AVX state for YMM; opmask, ZMM_Hi256 and
// Hi16_ZMM as well for AVX-512).
[[nodiscard]] CpuFeatures decode_cpu_features(const CpuidWords& words);

// Whether the processor runs TARNWICK_TARGET_AVX2 code; false off x86-64.
[[nodiscard]] bool cpu_has_avx2();
// Whether it runs TARNWICK_TARGET_AVX2_FMA code.
[[nodiscard]] bool cpu_has_avx2_fma();
// Whether it runs TARNWICK_TARGET_AVX512 code.
[[nodiscard]] bool cpu_has_avx512();

}  // namespace tarnwick::numerics
