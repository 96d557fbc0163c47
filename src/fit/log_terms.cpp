// The pass over the events: each range is summed into double-double lanes
// (lane_sums.hpp), with AVX-512 by log_terms_eight_lanes.cpp, otherwise in
// blocks of 256 events: the floored mixture densities and the stop test into
// a buffer, their logarithms into another (exact_log: std::log bit for bit),
// then the terms into four lanes. The ranges' sums are merged exactly; in
// the rare case where their error bound straddles a rounding boundary, the
// terms are computed again and summed exactly.
//
// Compiled with -ffp-contract=off (src/fit/CMakeLists.txt): a product and
// the sum it enters are never fused.
#include "fit/log_terms.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "fit/log_terms_eight_lanes.hpp"
#include "fit/mixture_block.hpp"
#include "fit/worker_threads.hpp"
#include "numerics/check.hpp"
#include "numerics/exact_sum.hpp"

namespace tarnwick::fit {

namespace {

using numerics::BoundedSum;
using numerics::ExactSum;
using numerics::LaneSums;

constexpr std::size_t kBlock = numerics::kExactLogBlock;
constexpr std::size_t kGenericLanes = 4;

// N is the number of components when known at compile time (the common
// two-component fit), 0 for any number. Never inlined: its buffers then live
// only while it runs, not in the frame of the caller while the PDFs are
// called (a PDF may itself run a fit, and every level of such nesting would
// carry them on the stack).
template <std::size_t N>
[[gnu::noinline]] RangeSum blocked_range(const LogTermsInput& in, std::size_t begin,
                                         std::size_t end, LogKernel kernel) {
  std::array<double, kBlock> density;
  std::array<double, kBlock> terms;
  LaneSums<kGenericLanes> lanes;
  RangeSum result;
  for (std::size_t start = begin; start < end; start += kBlock) {
    const std::size_t length = std::min(kBlock, end - start);
    bool stops = false;
    if constexpr (N == 2) {
      stops = two_component_mixture(in.f[0].data() + start, in.f[1].data() + start, in.yields[0],
                                    in.yields[1], length, in.floor, density.data());
    } else {
      for (std::size_t j = 0; j < length; ++j) {
        const Mixture m = mixture_at(in.f, in.yields, start + j);
        stops |= m.stops();
        density[j] = std::max(m.density, in.floor);
      }
    }
    if (stops) {
      result.stopped_at = first_stop(in.f, in.yields, start);
      return result;
    }
    numerics::exact_log(std::span<const double>(density).first(length), terms, kernel);
    if (!in.weights_are_one) {
      for (std::size_t j = 0; j < length; ++j) terms[j] *= in.weights[start + j];
    }
    for (std::size_t j = 0; j < length; ++j) terms[j] = -terms[j];
    lanes.add(terms.data(), length);
  }
  result.sum.add(lanes);
  return result;
}

RangeSum range_sum(const LogTermsInput& in, std::size_t begin, std::size_t end,
                   LogKernel kernel) {
  if (kernel == LogKernel::EightLane && in.f.size() <= kEightLaneMostComponents) {
    return eight_lane_range_sum(in, begin, end);
  }
  return blocked_range_sum(in, begin, end, kernel);
}

// Every term again, one event at a time, into an exact sum: the same bits
// for each term (std::log is what exact_log reproduces). Only for a pass
// that did not stop.
double exactly_summed(double s, const LogTermsInput& in) {
  ExactSum sum;
  sum.add(s);
  for (std::size_t i = 0; i < in.weights.size(); ++i) {
    const double log_m = std::log(std::max(mixture_at(in.f, in.yields, i).density, in.floor));
    sum.add(-(in.weights_are_one ? log_m : in.weights[i] * log_m));
  }
  return sum.value();
}

// The ranges of a pass on several threads: contiguous, whole blocks, a few
// per thread so that a thread the system pauses leaves its share to the
// others.
std::size_t range_count(std::size_t n_events, std::size_t n_threads) {
  if (n_threads < 2 || n_events < 2 * kEventsPerThread) return 1;
  const std::size_t most = n_events / (kEventsPerThread / 4);
  return std::min({4 * n_threads, most, WorkerThreads::kMostChunks});
}

}  // namespace

std::size_t pass_thread_count(std::size_t n_events) {
  constexpr std::size_t kMostThreads = 8;
  return std::max<std::size_t>(
      1, std::min({usable_cpus(), kMostThreads, n_events / kEventsPerThread}));
}

RangeSum blocked_range_sum(const LogTermsInput& in, std::size_t begin, std::size_t end,
                           LogKernel kernel) {
  return in.f.size() == 2 ? blocked_range<2>(in, begin, end, kernel)
                          : blocked_range<0>(in, begin, end, kernel);
}

LogTerms subtract_log_terms(double s, const LogTermsInput& in, WorkerThreads* threads,
                            LogKernel kernel) {
  TARNWICK_REQUIRE(in.f.size() == in.yields.size());
  for (const auto& fk : in.f) TARNWICK_REQUIRE(fk.size() == in.weights.size());
  const std::size_t n_events = in.weights.size();
  const std::size_t n_ranges = range_count(n_events, threads != nullptr ? threads->size() : 1);

  BoundedSum total;
  total.add_exact(s);
  if (n_ranges == 1) {
    RangeSum range = range_sum(in, 0, n_events, kernel);
    if (range.stopped_at) return {s, range.stopped_at};
    total.add(range.sum);
  } else {
    // Range r is [r·n/R, (r + 1)·n/R) rounded down to whole blocks.
    const std::size_t n_blocks = (n_events + kBlock - 1) / kBlock;
    const auto first_event = [&](std::size_t r) {
      return std::min(n_events, r * n_blocks / n_ranges * kBlock);
    };
    std::vector<RangeSum> ranges(n_ranges);
    // The first range known to stop: later ranges need not be summed, every
    // earlier one is (ranges are claimed in order, and all run to the end).
    std::atomic<std::size_t> first_stopped{n_ranges};
    auto job = [&](std::size_t r) {
      if (r > first_stopped.load(std::memory_order_relaxed)) return;
      ranges[r] = range_sum(in, first_event(r), first_event(r + 1), kernel);
      if (ranges[r].stopped_at) {
        std::size_t seen = first_stopped.load(std::memory_order_relaxed);
        while (r < seen && !first_stopped.compare_exchange_weak(seen, r)) {
        }
      }
    };
    threads->run(n_ranges, job);
    for (const RangeSum& range : ranges) {
      if (range.stopped_at) return {s, range.stopped_at};
      total.add(range.sum);
    }
  }
  if (const auto value = total.value()) return {*value, std::nullopt};
  return {exactly_summed(s, in), std::nullopt};
}

}  // namespace tarnwick::fit
