// The eight-lane pass. One loop per block of 256 events does the mixture,
// the stop test and the logarithm eight events at a time (log8), and between
// those steps adds earlier blocks' terms to the sum. The sum is a chain of
// dependent additions; interleaved with the independent work of the next
// block, it runs alongside it instead of after it.
//
// Compiled with -ffp-contract=off (src/fit/CMakeLists.txt): a product and
// the sum it enters are never fused.
#include "fit/log_terms_eight_lanes.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "fit/exact_log.hpp"
#include "fit/log_kernel_avx512.hpp"
#include "fit/mixture_block.hpp"
#include "optimizer/core/linalg.hpp"

namespace tarnwick::fit {

#ifdef TARNWICK_VECTOR_LOG

namespace {

constexpr std::size_t kBlock = kExactLogBlock;

// w · ln m, or ln m where every weight is 1 (the same bits, without reading w).
template <bool kWeightsAreOne>
inline double term(const double& w, double log_m) {
  if constexpr (kWeightsAreOne) return log_m;
  return w * log_m;
}

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

// The sum of the terms of the blocks queued, in event order: the blocks are
// added in the order they were queued, and their terms in event order.
template <bool kWeightsAreOne>
class OrderedSum {
 public:
  OrderedSum(double nll, const double* weights) : nll_(nll), weights_(weights) {}

  // Queues the logarithms of events [start, start + length) after the blocks
  // queued before (kMostQueued at most).
  void queue(const double* logs, std::size_t start, std::size_t length) {
    TARNWICK_REQUIRE(n_queued_ < kMostQueued);
    queued_[n_queued_++] = {logs, weights_ + start, length};
  }

  // Adds the next `count` queued terms, or all of them if fewer are queued.
  void add(std::size_t count) {
    while (count > 0 && n_queued_ > 0) {
      const Block& b = queued_[0];
      const std::size_t end = next_ + std::min(count, b.length - next_);
      double nll = nll_;
      for (std::size_t j = next_; j < end; ++j) {
        nll -= term<kWeightsAreOne>(b.weights[j], b.logs[j]);
      }
      nll_ = nll;
      count -= end - next_;
      next_ = end;
      if (next_ == b.length) {
        std::copy(queued_ + 1, queued_ + n_queued_, queued_);
        --n_queued_;
        next_ = 0;
      }
    }
  }

  void add_all() { add(std::numeric_limits<std::size_t>::max()); }
  [[nodiscard]] double value() const { return nll_; }

 private:
  struct Block {
    const double* logs;
    const double* weights;
    std::size_t length;
  };
  double nll_;
  const double* weights_;
  static constexpr std::size_t kMostQueued = 4;
  Block queued_[kMostQueued] = {};
  std::size_t n_queued_ = 0;
  std::size_t next_ = 0;  // the next term of queued_[0]
};

// What the eight-lane pass reads: the PDF values, yields and floor.
struct EightLaneInput {
  std::span<const std::span<const double>> f;
  std::span<const double> yields;
  double floor;
  std::array<const double*, kEightLaneMostComponents> columns;  // f[k].data()
};

// The logarithms of the floored mixture densities of events
// [start, start + length) into `logs` (`density` is scratch), with
// `between(count)` called after each eight events with the number of events
// done so far in the block. Returns whether an event of the block stops the
// pass; the logarithms are then incomplete.
template <std::size_t N, class Between>
TARNWICK_EIGHT_LANES __attribute__((always_inline)) inline bool block_logs(
    const EightLaneInput& in, const avx512::Registers& table, std::size_t start,
    std::size_t length, double* density, double* logs, Between&& between) {
  const std::size_t n_comp = in.f.size();
  const std::size_t n_vector = length & ~std::size_t{7};
  const __m512d floor_v = _mm512_set1_pd(in.floor);
  __mmask8 stops = 0;
  LibraryPositions redo;
  for (std::size_t i = 0; i < n_vector; i += 8) {
    const __m512d d =
        mixture8<N>(in.columns.data(), in.yields.data(), n_comp, start + i, floor_v, stops);
    _mm512_store_pd(density + i, d);
    const avx512::Log8 v = avx512::log8(d, table);
    _mm512_store_pd(logs + i, v.h);
    redo.mark_lanes(i, static_cast<std::uint8_t>(~v.keep));
    between(i + 8);
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

// One thread: while a block's logarithms are computed, the previous block's
// terms are added, eight per eight events.
template <std::size_t N, bool kWeightsAreOne>
TARNWICK_EIGHT_LANES [[gnu::noinline]] LogTerms one_thread_log_terms(
    double nll, const EightLaneInput& in, std::span<const double> weights) {
  const std::size_t n_events = weights.size();
  const avx512::Registers table = avx512::load_registers(avx512::log_table());
  alignas(64) double density[kBlock];
  alignas(64) double logs[2][kBlock];
  OrderedSum<kWeightsAreOne> sum(nll, weights.data());
  for (std::size_t start = 0, b = 0; start < n_events; start += kBlock, ++b) {
    const std::size_t length = std::min(kBlock, n_events - start);
    double* current = logs[b % 2];
    const auto between = [&sum](std::size_t) { sum.add(8); };
    if (block_logs<N>(in, table, start, length, density, current, between)) {
      return {sum.value(), first_stop(in.f, in.yields, start)};
    }
    sum.add_all();
    sum.queue(current, start, length);
  }
  sum.add_all();
  return {sum.value(), std::nullopt};
}

// Two threads, for many events: the calling thread computes one block in
// every kPeriod (the first block of each period of kPeriod blocks) and adds
// every block's terms in order; the helper computes the others into a ring
// of slots. While the caller computes the first block of period p it adds
// the terms of period p − kLag − 1, 8 kPeriod per eight events, so that the
// chain of additions runs alongside independent work, and the helper has
// kLag periods of slack (its start, a pause on a busy machine) before the
// caller waits for it. Every other block (kPeriod 2) measured faster than
// one in three: the caller's sum is the shorter part.
constexpr std::size_t kParallelMinimum = std::size_t{1} << 16;
constexpr std::size_t kPeriod = 2;
constexpr std::size_t kLag = 1;
constexpr std::size_t kRingSlots = 8;

struct RingSlot {
  // 0 while free; b + 1 once block b's logarithms (or its stop) are here.
  std::atomic<std::size_t> block{0};
  bool stops = false;
  alignas(64) double logs[kBlock];
};

struct Ring {
  RingSlot slot[kRingSlots];
  std::atomic<bool> abandon{false};  // the caller needs no more blocks
};

// The slot of the helper's block b (b % kPeriod ≠ 0): its blocks are used
// in turn.
RingSlot& slot_of(Ring& ring, std::size_t b) {
  return ring.slot[(b - b / kPeriod - 1) % kRingSlots];
}

// Spins (briefly, then yielding) until `done()`.
template <class Done>
void wait_until(Done&& done) {
  for (int spins = 0; !done(); ++spins) {
    if (spins < 256) {
      __builtin_ia32_pause();
    } else {
      std::this_thread::yield();
    }
  }
}

template <std::size_t N>
TARNWICK_EIGHT_LANES void helper_blocks(const EightLaneInput* in, std::size_t n_events,
                                        Ring* ring) {
  const avx512::Registers table = avx512::load_registers(avx512::log_table());
  alignas(64) double density[kBlock];
  for (std::size_t b = 1; b * kBlock < n_events; ++b) {
    if (b % kPeriod == 0) continue;
    RingSlot& slot = slot_of(*ring, b);
    bool abandoned = false;
    wait_until([&] {
      abandoned = ring->abandon.load(std::memory_order_acquire);
      return abandoned || slot.block.load(std::memory_order_acquire) == 0;
    });
    if (abandoned) return;
    const std::size_t start = b * kBlock;
    const std::size_t length = std::min(kBlock, n_events - start);
    slot.stops = block_logs<N>(*in, table, start, length, density, slot.logs, [](std::size_t) {});
    slot.block.store(b + 1, std::memory_order_release);
    if (slot.stops) return;
  }
}

template <std::size_t N, bool kWeightsAreOne>
TARNWICK_EIGHT_LANES LogTerms caller_blocks(double nll, const EightLaneInput& in,
                                            std::span<const double> weights, Ring& ring) {
  const std::size_t n_events = weights.size();
  const std::size_t n_blocks = (n_events + kBlock - 1) / kBlock;
  const std::size_t n_periods = (n_blocks + kPeriod - 1) / kPeriod;
  const avx512::Registers table = avx512::load_registers(avx512::log_table());
  alignas(64) double density[kBlock];
  // The caller's blocks of the periods not yet added.
  alignas(64) double own[kLag + 2][kBlock];
  OrderedSum<kWeightsAreOne> sum(nll, weights.data());
  const auto length_of = [&](std::size_t b) { return std::min(kBlock, n_events - b * kBlock); };
  // The helper's block b, once it is there.
  const auto helper_block = [&](std::size_t b) -> const RingSlot& {
    const RingSlot& slot = slot_of(ring, b);
    wait_until([&] { return slot.block.load(std::memory_order_acquire) == b + 1; });
    return slot;
  };
  // Queues the blocks of period q in order; a helper block that stops the
  // pass ends it and is returned.
  const auto queue_period = [&](std::size_t q) -> std::optional<std::size_t> {
    const std::size_t first = q * kPeriod;
    sum.queue(own[q % (kLag + 2)], first * kBlock, length_of(first));
    for (std::size_t b = first + 1; b < std::min(first + kPeriod, n_blocks); ++b) {
      const RingSlot& slot = helper_block(b);
      if (slot.stops) return b;
      sum.queue(slot.logs, b * kBlock, length_of(b));
    }
    return std::nullopt;
  };
  const auto release_period = [&](std::size_t q) {
    for (std::size_t b = q * kPeriod + 1; b < std::min((q + 1) * kPeriod, n_blocks); ++b) {
      slot_of(ring, b).block.store(0, std::memory_order_release);
    }
  };
  const auto stopped = [&](std::size_t b) -> LogTerms {
    return {sum.value(), first_stop(in.f, in.yields, b * kBlock)};
  };

  for (std::size_t p = 0; p < n_periods; ++p) {
    // While the caller computes the first block of period p, the terms of
    // period p − kLag − 1 are added: the helper has kLag periods of slack.
    const bool adds = p >= kLag + 1;
    const std::size_t added = adds ? p - kLag - 1 : 0;
    if (adds) {
      if (auto stop = queue_period(added)) return stopped(*stop);
    }
    const std::size_t b = p * kPeriod;
    const auto between = [&sum](std::size_t) { sum.add(8 * kPeriod); };
    const bool stops =
        block_logs<N>(in, table, b * kBlock, length_of(b), density, own[p % (kLag + 2)], between);
    sum.add_all();
    if (adds) release_period(added);
    if (stops) {
      // The helper's blocks before b that were not yet looked at come first.
      for (std::size_t h = adds ? (added + 1) * kPeriod : 0; h < b; ++h) {
        if (h % kPeriod != 0 && helper_block(h).stops) return stopped(h);
      }
      return stopped(b);
    }
  }
  // The periods not yet added, in order.
  for (std::size_t q = n_periods > kLag + 1 ? n_periods - kLag - 1 : 0; q < n_periods; ++q) {
    if (auto stop = queue_period(q)) return stopped(*stop);
    sum.add_all();
  }
  return {sum.value(), std::nullopt};
}

template <std::size_t N, bool kWeightsAreOne>
LogTerms two_thread_log_terms(double nll, const EightLaneInput& in,
                              std::span<const double> weights) {
  auto ring = std::make_unique<Ring>();
  std::thread helper;
  try {
    helper = std::thread(helper_blocks<N>, &in, weights.size(), ring.get());
  } catch (const std::system_error&) {
    return one_thread_log_terms<N, kWeightsAreOne>(nll, in, weights);
  }
  const LogTerms terms = caller_blocks<N, kWeightsAreOne>(nll, in, weights, *ring);
  ring->abandon.store(true, std::memory_order_release);
  helper.join();
  return terms;
}

template <std::size_t N, bool kWeightsAreOne>
LogTerms eight_lanes(double nll, std::span<const std::span<const double>> f,
                     std::span<const double> yields, std::span<const double> weights,
                     double floor) {
  EightLaneInput in{f, yields, floor, {}};
  for (std::size_t k = 0; k < f.size(); ++k) in.columns[k] = f[k].data();
  if (weights.size() >= kParallelMinimum) {
    return two_thread_log_terms<N, kWeightsAreOne>(nll, in, weights);
  }
  return one_thread_log_terms<N, kWeightsAreOne>(nll, in, weights);
}

}  // namespace

LogTerms eight_lane_log_terms(double nll, std::span<const std::span<const double>> f,
                              std::span<const double> yields, std::span<const double> weights,
                              bool weights_are_one, double floor) {
  TARNWICK_REQUIRE(f.size() <= kEightLaneMostComponents &&
                   log_kernel_available(LogKernel::EightLane));
  const bool two = f.size() == 2;
  if (weights_are_one) {
    return two ? eight_lanes<2, true>(nll, f, yields, weights, floor)
               : eight_lanes<0, true>(nll, f, yields, weights, floor);
  }
  return two ? eight_lanes<2, false>(nll, f, yields, weights, floor)
             : eight_lanes<0, false>(nll, f, yields, weights, floor);
}

#else  // no eight-lane kernel on this platform: never called

LogTerms eight_lane_log_terms(double nll, std::span<const std::span<const double>>,
                              std::span<const double>, std::span<const double>, bool, double) {
  TARNWICK_REQUIRE(log_kernel_available(LogKernel::EightLane));
  return {nll, std::nullopt};
}

#endif

}  // namespace tarnwick::fit
