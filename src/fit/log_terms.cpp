// Two ways through the events, with the same bits:
//
//  - In blocks of 256 events, three steps each: the floored mixture
//    densities and the stop test into a buffer, their logarithms into another
//    (exact_log: std::log bit for bit), then the weighted sum.
//  - With AVX-512, one loop per block does the mixture, the stop test and
//    the logarithm eight events at a time, and between those steps adds the
//    previous block's terms to the sum, eight of them per step. The sum is a
//    chain of dependent additions; interleaved with the independent work of
//    the next block, it runs alongside it instead of after it.
//
// Compiled with -ffp-contract=off (src/fit/CMakeLists.txt): a product and
// the sum it enters are never fused.
#include "fit/log_terms.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "fit/exact_log.hpp"
#include "fit/mixture_block.hpp"
#include "optimizer/core/linalg.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include "fit/log_kernel_avx512.hpp"
#define TARNWICK_LOG_TERMS_X86 1
#endif

namespace tarnwick::fit {

namespace {

constexpr std::size_t kBlock = kExactLogBlock;

// The mixture density of one event, summed in component order from 0, and
// whether every f_k(i) is zero.
struct Mixture {
  double density;
  bool all_zero;
  [[nodiscard]] bool stops() const {
    return all_zero || !(std::abs(density) < std::numeric_limits<double>::infinity());
  }
};

Mixture mixture_at(std::span<const std::span<const double>> f, std::span<const double> yields,
                   std::size_t i) {
  Mixture m{0.0, true};
  for (std::size_t k = 0; k < f.size(); ++k) {
    const double fk = f[k][i];
    m.all_zero &= fk == 0.0;
    m.density += yields[k] * fk;
  }
  return m;
}

// The first stopping event from `first` on; there must be one.
std::size_t first_stop(std::span<const std::span<const double>> f, std::span<const double> yields,
                       std::size_t first) {
  while (!mixture_at(f, yields, first).stops()) ++first;
  return first;
}

// w · ln m, or ln m where every weight is 1 (the same bits, without reading w).
template <bool kWeightsAreOne>
inline double term(const double& w, double log_m) {
  if constexpr (kWeightsAreOne) return log_m;
  return w * log_m;
}

// N is the number of components when known at compile time (the common
// two-component fit), 0 for any number. Never inlined: its buffers then live
// only while it runs, not in the frame of the caller while the PDFs are
// called (a PDF may itself run a fit, and every level of such nesting would
// carry them on the stack).
template <std::size_t N>
[[gnu::noinline]] LogTerms blocked_log_terms(double nll,
                                             std::span<const std::span<const double>> f,
                                             std::span<const double> yields,
                                             std::span<const double> weights, double floor) {
  const std::size_t n_events = weights.size();
  std::array<double, kBlock> density;
  std::array<double, kBlock> logs;
  for (std::size_t start = 0; start < n_events; start += kBlock) {
    const std::size_t length = std::min(kBlock, n_events - start);
    bool stops = false;
    if constexpr (N == 2) {
      stops = two_component_mixture(f[0].data() + start, f[1].data() + start, yields[0],
                                    yields[1], length, floor, density.data());
    } else {
      for (std::size_t j = 0; j < length; ++j) {
        const Mixture m = mixture_at(f, yields, start + j);
        stops |= m.stops();
        density[j] = std::max(m.density, floor);
      }
    }
    if (stops) return {nll, first_stop(f, yields, start)};
    exact_log(std::span<const double>(density).first(length), logs);
    for (std::size_t j = 0; j < length; ++j) nll -= weights[start + j] * logs[j];
  }
  return {nll, std::nullopt};
}

#ifdef TARNWICK_LOG_TERMS_X86

#define TARNWICK_EIGHT_LANES __attribute__((target("avx512f,avx512dq,avx512vl")))

// The floored mixture density of events i … i + 7 and whether one of them
// stops the pass.
template <std::size_t N>
TARNWICK_EIGHT_LANES __attribute__((always_inline)) inline __m512d mixture8(
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

template <std::size_t N, bool kWeightsAreOne>
TARNWICK_EIGHT_LANES [[gnu::noinline]] LogTerms eight_lane_log_terms(
    double nll, std::span<const std::span<const double>> f, std::span<const double> yields,
    std::span<const double> weights, double floor) {
  const std::size_t n_comp = f.size();
  const std::size_t n_events = weights.size();
  std::array<const double*, 16> columns{};
  TARNWICK_REQUIRE(N != 0 || n_comp <= columns.size());
  for (std::size_t k = 0; k < n_comp && k < columns.size(); ++k) columns[k] = f[k].data();
  if (n_comp > columns.size()) return blocked_log_terms<0>(nll, f, yields, weights, floor);

  const avx512::Registers table = avx512::load_registers(avx512::log_table());
  const __m512d floor_v = _mm512_set1_pd(floor);
  alignas(64) double density[kBlock];
  alignas(64) double logs[2][kBlock];
  // The block whose terms are still to be added: its first event and its
  // logarithms. Every block but the last is full.
  const double* pending = nullptr;
  std::size_t pending_start = 0;

  for (std::size_t start = 0, b = 0; start < n_events; start += kBlock, ++b) {
    const std::size_t length = std::min(kBlock, n_events - start);
    const std::size_t n_vector = length & ~std::size_t{7};
    double* current = logs[b % 2];
    const double* w = weights.data() + pending_start;
    __mmask8 stops = 0;
    std::uint64_t redo[kBlock / 64] = {};
    for (std::size_t i = 0; i < n_vector; i += 8) {
      const __m512d d =
          mixture8<N>(columns.data(), yields.data(), n_comp, start + i, floor_v, stops);
      _mm512_store_pd(density + i, d);
      const avx512::Log8 v = avx512::log8(d, table);
      _mm512_store_pd(current + i, v.h);
      redo[i / 64] |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(~v.keep)) << (i % 64);
      if (pending != nullptr) {
        for (std::size_t j = i; j < i + 8; ++j) nll -= term<kWeightsAreOne>(w[j], pending[j]);
      }
    }
    bool tail_stops = false;
    for (std::size_t j = n_vector; j < length; ++j) {
      const Mixture m = mixture_at(f, yields, start + j);
      tail_stops |= m.stops();
      density[j] = std::max(m.density, floor);
      redo[j / 64] |= std::uint64_t{1} << (j % 64);
    }
    if (stops != 0 || tail_stops) return {nll, first_stop(f, yields, start)};
    if (pending != nullptr) {
      for (std::size_t j = n_vector; j < kBlock; ++j) {
        nll -= term<kWeightsAreOne>(w[j], pending[j]);
      }
    }
    for (std::size_t word = 0; word < kBlock / 64; ++word) {
      for (std::uint64_t bits = redo[word]; bits != 0; bits &= bits - 1) {
        const std::size_t j = 64 * word + static_cast<std::size_t>(__builtin_ctzll(bits));
        current[j] = std::log(density[j]);
      }
    }
    pending = current;
    pending_start = start;
  }
  if (pending != nullptr) {
    const std::size_t length = n_events - pending_start;
    for (std::size_t j = 0; j < length; ++j) {
      nll -= term<kWeightsAreOne>(weights[pending_start + j], pending[j]);
    }
  }
  return {nll, std::nullopt};
}

#endif

}  // namespace

LogTerms subtract_log_terms(double nll, std::span<const std::span<const double>> f,
                            std::span<const double> yields, std::span<const double> weights,
                            bool weights_are_one, double floor) {
  TARNWICK_REQUIRE(f.size() == yields.size());
  for (const auto& fk : f) TARNWICK_REQUIRE(fk.size() == weights.size());
  const bool two = f.size() == 2;
#ifdef TARNWICK_LOG_TERMS_X86
  if (fastest_log_kernel() == LogKernel::EightLane) {
    if (weights_are_one) {
      return two ? eight_lane_log_terms<2, true>(nll, f, yields, weights, floor)
                 : eight_lane_log_terms<0, true>(nll, f, yields, weights, floor);
    }
    return two ? eight_lane_log_terms<2, false>(nll, f, yields, weights, floor)
               : eight_lane_log_terms<0, false>(nll, f, yields, weights, floor);
  }
#endif
  return two ? blocked_log_terms<2>(nll, f, yields, weights, floor)
             : blocked_log_terms<0>(nll, f, yields, weights, floor);
}

}  // namespace tarnwick::fit
