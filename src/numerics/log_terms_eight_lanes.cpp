// The eight-lane log pass (AVX-512). One loop per block of 256 events does
// the mixture, the stop test and the logarithm eight events at a time
// (log8, log_eight_lanes.hpp); the block's terms then go into eight
// double-double lanes, which are independent chains, so the sum no longer
// waits on one chain of additions. The same terms as blocked_range_sum
// (log_terms_blocked.cpp), summed up to the exact merge of the lanes.
//
// Lanes. Each lane adds its terms by TwoSum (Knuth; exact in round-to-nearest
// barring overflow, which leaves a lane infinite or NaN and is caught when
// the lanes are merged) and keeps Σ_j |lo_j|, as LaneSums<8> does: the error
// bound of lane_sums.hpp holds lane by lane. Every operation written is
// rounded on its own (-ffp-contract=off on the numerics target; the only
// fused operations are log8's explicit ones).
#include <algorithm>
#include <array>
#include <cstdint>

#include "base/check.hpp"
#include "numerics/cpu_features.hpp"
#include "numerics/exact_log.hpp"
#include "numerics/kernel_variants.hpp"
#include "numerics/log_eight_lanes.hpp"
#include "numerics/mixture.hpp"

#ifdef TARNWICK_VECTOR_LOG

namespace tarnwick::numerics::avx512 {

namespace {

constexpr std::size_t kBlock = kExactLogBlock;

// The floored mixture density of events i … i + 7 and whether one of them
// stops the pass.
template <std::size_t N>
TARNWICK_TARGET_AVX512 __attribute__((always_inline)) inline __m512d mixture8(
    const double* const* f, const double* yields, std::size_t n_comp, std::size_t i,
    __m512d floor, __mmask8& stops) {
  const __m512d zero = _mm512_setzero_pd();
  __m512d m = zero;
  __mmask8 all_zero = 0xFF;
  for (std::size_t k = 0; k < (N == 0 ? n_comp : N); ++k) {
    const __m512d fk = _mm512_loadu_pd(f[k] + i);
    all_zero &= _mm512_cmp_pd_mask(fk, zero, _CMP_EQ_OQ);
    m = _mm512_add_pd(m, _mm512_mul_pd(_mm512_set1_pd(yields[k]), fk));
  }
  // NaN or ±∞.
  stops |= all_zero | _mm512_fpclass_pd_mask(m, 0x01 | 0x08 | 0x10 | 0x80);
  // max(floor, m) is m when m is NaN, as std::max(m, floor) is.
  return _mm512_maskz_max_pd(0xFF, floor, m);
}

// What the eight-lane pass reads: the PDF values, yields and floor.
struct EightLaneInput {
  std::span<const std::span<const double>> f;
  std::span<const double> yields;
  double floor;
  std::array<const double*, kEightLaneMostComponents> columns;  // f[k].data()
};

// The logarithms of the floored mixture densities of events
// [start, start + length) into `logs` (`density` is scratch). Returns
// whether an event of the block stops the pass; the logarithms are then
// incomplete.
template <std::size_t N>
TARNWICK_TARGET_AVX512 __attribute__((always_inline)) inline bool block_logs(
    const EightLaneInput& in, const avx512::Registers& table, std::size_t start,
    std::size_t length, double* density, double* logs) {
  const std::size_t n_comp = in.f.size();
  const std::size_t n_vector = length & ~std::size_t{7};
  const __m512d floor_v = _mm512_set1_pd(in.floor);
  __mmask8 stops = 0;
  LibraryPositions redo;
  std::size_t i = 0;
  // Two vectors a step: their long chains of dependent operations overlap.
  for (; i + 16 <= n_vector; i += 16) {
    const __m512d d0 =
        mixture8<N>(in.columns.data(), in.yields.data(), n_comp, start + i, floor_v, stops);
    const __m512d d1 =
        mixture8<N>(in.columns.data(), in.yields.data(), n_comp, start + i + 8, floor_v, stops);
    _mm512_store_pd(density + i, d0);
    _mm512_store_pd(density + i + 8, d1);
    const avx512::Log8 v0 = avx512::log8(d0, table);
    const avx512::Log8 v1 = avx512::log8(d1, table);
    _mm512_store_pd(logs + i, v0.h);
    _mm512_store_pd(logs + i + 8, v1.h);
    redo.mark_lanes(i, static_cast<std::uint8_t>(~v0.keep));
    redo.mark_lanes(i + 8, static_cast<std::uint8_t>(~v1.keep));
  }
  for (; i < n_vector; i += 8) {
    const __m512d d =
        mixture8<N>(in.columns.data(), in.yields.data(), n_comp, start + i, floor_v, stops);
    _mm512_store_pd(density + i, d);
    const avx512::Log8 v = avx512::log8(d, table);
    _mm512_store_pd(logs + i, v.h);
    redo.mark_lanes(i, static_cast<std::uint8_t>(~v.keep));
  }
  bool tail_stops = false;
  for (std::size_t j = n_vector; j < length; ++j) {
    const Mixture m = mixture_at(in.f, in.yields, start + j);
    tail_stops |= m.stops();
    density[j] = std::max(m.density, in.floor);
    redo.mark(j);
  }
  if (stops != 0 || tail_stops) return true;
  redo.fill(density, logs);
  return false;
}

// Eight double-double lanes with their error bound, as LaneSums<8>.
struct Lanes8 {
  __m512d hi;
  __m512d lo;
  __m512d lo_magnitude;
};

// The terms −w·ln m (or −ln m where every weight is 1: the same bits without
// reading w) of `length` events from `logs` into the
// lanes; masked lanes add 0, which changes no lane.
template <bool kWeightsAreOne>
TARNWICK_TARGET_AVX512 __attribute__((always_inline)) inline void add_terms(
    const double* logs, const double* weights, std::size_t length, Lanes8& lanes) {
  for (std::size_t i = 0; i < length; i += 8) {
    const __mmask8 mask = length - i >= 8 ? 0xFF : static_cast<__mmask8>((1u << (length - i)) - 1);
    __m512d t = _mm512_maskz_loadu_pd(mask, logs + i);
    if constexpr (!kWeightsAreOne) t = _mm512_mul_pd(_mm512_maskz_loadu_pd(mask, weights + i), t);
    const __m512d x = _mm512_sub_pd(_mm512_setzero_pd(), t);
    // TwoSum, as LaneSums::add_to_lane.
    const __m512d s = _mm512_add_pd(lanes.hi, x);
    const __m512d b = _mm512_sub_pd(s, lanes.hi);
    const __m512d e =
        _mm512_add_pd(_mm512_sub_pd(lanes.hi, _mm512_sub_pd(s, b)), _mm512_sub_pd(x, b));
    lanes.hi = s;
    lanes.lo = _mm512_add_pd(lanes.lo, e);
    lanes.lo_magnitude = _mm512_add_pd(lanes.lo_magnitude, _mm512_abs_pd(lanes.lo));
  }
}

template <std::size_t N, bool kWeightsAreOne>
TARNWICK_TARGET_AVX512 [[gnu::noinline]] RangeSum eight_lanes(const EightLaneInput& in,
                                                           std::span<const double> weights,
                                                           std::size_t begin, std::size_t end) {
  const avx512::Registers table = avx512::load_registers(avx512::log_table());
  alignas(64) double density[kBlock];
  alignas(64) double logs[kBlock];
  Lanes8 lanes{_mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd()};
  RangeSum result;
  for (std::size_t start = begin; start < end; start += kBlock) {
    const std::size_t length = std::min(kBlock, end - start);
    if (block_logs<N>(in, table, start, length, density, logs)) {
      result.stopped_at = first_stop(in.f, in.yields, start);
      return result;
    }
    add_terms<kWeightsAreOne>(logs, weights.data() + start, length, lanes);
  }
  alignas(64) double hi[8];
  alignas(64) double lo[8];
  alignas(64) double lo_magnitude[8];
  _mm512_store_pd(hi, lanes.hi);
  _mm512_store_pd(lo, lanes.lo);
  _mm512_store_pd(lo_magnitude, lanes.lo_magnitude);
  result.sum.add_lanes(hi, lo, lo_magnitude, 8);
  return result;
}

}  // namespace

RangeSum eight_lane_range_sum(const LogTermsInput& in, std::size_t begin, std::size_t end) {
  TARNWICK_REQUIRE(in.f.size() <= kEightLaneMostComponents &&
                   log_kernel_available(LogKernel::EightLane));
  EightLaneInput lanes_in{in.f, in.yields, in.floor, {}};
  for (std::size_t k = 0; k < in.f.size(); ++k) lanes_in.columns[k] = in.f[k].data();
  const bool two = in.f.size() == 2;
  if (in.weights_are_one) {
    return two ? eight_lanes<2, true>(lanes_in, in.weights, begin, end)
               : eight_lanes<0, true>(lanes_in, in.weights, begin, end);
  }
  return two ? eight_lanes<2, false>(lanes_in, in.weights, begin, end)
             : eight_lanes<0, false>(lanes_in, in.weights, begin, end);
}

}  // namespace tarnwick::numerics::avx512

#endif
