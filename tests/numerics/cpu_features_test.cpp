#include "numerics/cpu_features.hpp"

#include <gtest/gtest.h>

namespace tarnwick::numerics::testing {
namespace {

// A processor with AVX, FMA, OSXSAVE, AVX2 and AVX-512 F, DQ and VL, on an
// operating system that saves every wide register.
constexpr unsigned kLeaf1Everything = (1u << 12) | (1u << 27) | (1u << 28);
constexpr unsigned kLeaf7Everything = (1u << 5) | (1u << 16) | (1u << 17) | (1u << 31);
constexpr unsigned long long kXcr0Everything = 0xe7;  // x87, SSE, AVX, opmask, ZMM

TEST(CpuFeatures, EachFeatureNeedsItsBitsAndTheSavedRegisters) {
  struct Case {
    const char* what;
    CpuidWords words;
    CpuFeatures expected;
  };
  const Case cases[] = {
      {"everything", {kLeaf1Everything, kLeaf7Everything, kXcr0Everything}, {true, true, true}},
      {"no CPUID answers", {0, 0, 0}, {false, false, false}},
      // XCR0 as the detection leaves it when OSXSAVE is clear.
      {"no OSXSAVE", {kLeaf1Everything & ~(1u << 27), kLeaf7Everything, 0}, {false, false, false}},
      {"OSXSAVE without YMM state", {kLeaf1Everything, kLeaf7Everything, 0x3}, {false, false, false}},
      {"no AVX", {kLeaf1Everything & ~(1u << 28), kLeaf7Everything, kXcr0Everything},
       {false, false, false}},
      {"no leaf 7", {kLeaf1Everything, 0, kXcr0Everything}, {false, false, false}},
      {"no FMA", {kLeaf1Everything & ~(1u << 12), kLeaf7Everything, kXcr0Everything},
       {true, false, false}},
      // An operating system that saves YMM but not the opmask and ZMM state.
      {"no ZMM state", {kLeaf1Everything, kLeaf7Everything, 0x7}, {true, true, false}},
      {"no Hi16_ZMM state", {kLeaf1Everything, kLeaf7Everything, 0x67}, {true, true, false}},
      {"AVX2 and FMA only", {kLeaf1Everything, 1u << 5, kXcr0Everything}, {true, true, false}},
      {"no AVX-512 DQ", {kLeaf1Everything, kLeaf7Everything & ~(1u << 17), kXcr0Everything},
       {true, true, false}},
      {"no AVX-512 VL", {kLeaf1Everything, kLeaf7Everything & ~(1u << 31), kXcr0Everything},
       {true, true, false}},
  };
  for (const Case& c : cases) {
    const CpuFeatures got = decode_cpu_features(c.words);
    EXPECT_EQ(got.avx2, c.expected.avx2) << c.what;
    EXPECT_EQ(got.avx2_fma, c.expected.avx2_fma) << c.what;
    EXPECT_EQ(got.avx512, c.expected.avx512) << c.what;
  }
}

#if defined(TARNWICK_X86_64) && !defined(__clang__)
// GCC's runtime (libgcc's __cpu_indicator_init) reads the same CPUID leaves
// and XCR0 on its own: both detections must agree on this machine.
TEST(CpuFeatures, AgreeWithGccsRuntimeDetection) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  const bool fma = __builtin_cpu_supports("fma") != 0;
  EXPECT_EQ(cpu_has_avx2(), avx2);
  EXPECT_EQ(cpu_has_avx2_fma(), avx2 && fma);
  EXPECT_EQ(cpu_has_avx512(), avx2 && fma && __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512dq") &&
                                  __builtin_cpu_supports("avx512vl"));
}
#endif

}  // namespace
}  // namespace tarnwick::numerics::testing
