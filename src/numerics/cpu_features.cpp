// The one run-time detection: CPUID and XGETBV read directly, so that every
// compiler and runtime library answers alike (a runtime whose
// __builtin_cpu_supports knows no features would silently leave every kernel
// on the scalar path).
#include "numerics/cpu_features.hpp"

#ifdef TARNWICK_X86_64
#include <cpuid.h>
#endif

namespace tarnwick::numerics {

namespace {

constexpr unsigned bit(unsigned n) { return 1u << n; }

// CPUID.1:ECX.
constexpr unsigned kFma = bit(12);
constexpr unsigned kOsxsave = bit(27);
constexpr unsigned kAvx = bit(28);
// CPUID.(EAX=7,ECX=0):EBX.
constexpr unsigned kAvx2 = bit(5);
constexpr unsigned kAvx512F = bit(16);
constexpr unsigned kAvx512Dq = bit(17);
constexpr unsigned kAvx512Vl = bit(31);
// XCR0: the register state the operating system saves. SSE (XMM) and AVX
// (the upper halves of YMM); opmask, ZMM_Hi256 (the upper halves of ZMM0-15)
// and Hi16_ZMM (ZMM16-31).
constexpr unsigned long long kYmmState = bit(1) | bit(2);
constexpr unsigned long long kZmmState = kYmmState | bit(5) | bit(6) | bit(7);

constexpr bool all(unsigned long long word, unsigned long long mask) {
  return (word & mask) == mask;
}

}  // namespace

CpuFeatures decode_cpu_features(const CpuidWords& words) {
  // Without OSXSAVE, XCR0 cannot be read and no wide state is saved.
  const bool os_ymm = all(words.leaf1_ecx, kOsxsave) && all(words.xcr0, kYmmState);
  const bool avx2 = os_ymm && all(words.leaf1_ecx, kAvx) && all(words.leaf7_ebx, kAvx2);
  const bool fma = avx2 && all(words.leaf1_ecx, kFma);
  // The AVX-512 target's code may use AVX2 and FMA instructions as well.
  const bool avx512 = fma && all(words.xcr0, kZmmState) &&
                      all(words.leaf7_ebx, kAvx512F | kAvx512Dq | kAvx512Vl);
  return {avx2, fma, avx512};
}

#ifdef TARNWICK_X86_64

namespace {

CpuidWords read_cpuid_words() {
  CpuidWords words{0, 0, 0};
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return words;
  words.leaf1_ecx = ecx;
  // __get_cpuid_count answers 0 where leaf 7 lies above the highest leaf.
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) words.leaf7_ebx = ebx;
  if (all(words.leaf1_ecx, kOsxsave)) {
    // XGETBV with ECX = 0 reads XCR0; it faults unless OSXSAVE is set. Written
    // as an instruction, not the _xgetbv intrinsic, which needs the XSAVE
    // target on this function.
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0u));
    words.xcr0 = (static_cast<unsigned long long>(high) << 32) | low;
  }
  return words;
}

const CpuFeatures& features() {
  static const CpuFeatures f = decode_cpu_features(read_cpuid_words());
  return f;
}

}  // namespace

bool cpu_has_avx2() { return features().avx2; }
bool cpu_has_avx2_fma() { return features().avx2_fma; }
bool cpu_has_avx512() { return features().avx512; }

#else

bool cpu_has_avx2() { return false; }
bool cpu_has_avx2_fma() { return false; }
bool cpu_has_avx512() { return false; }

#endif

}  // namespace tarnwick::numerics
