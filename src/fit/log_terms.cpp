// The pass over the events: the events are cut into ranges, each summed
// into double-double lanes by the numerics' log pass (numerics/log_range.hpp),
// on the worker threads where there are many events. The ranges' sums are
// merged exactly; in the rare case where their error bound straddles a
// rounding boundary, the terms are computed again and summed exactly.
#include "fit/log_terms.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "fit/worker_threads.hpp"
#include "base/check.hpp"
#include "numerics/exact_sum.hpp"

namespace tarnwick::fit {

namespace {

using numerics::BoundedSum;
using numerics::ExactSum;
using numerics::RangeSum;

constexpr std::size_t kBlock = numerics::kExactLogBlock;

// Every term again, one event at a time, into an exact sum: the same bits
// for each term. Only for a pass that did not stop.
double exactly_summed(double s, const LogTermsInput& in) {
  ExactSum sum;
  sum.add(s);
  for (std::size_t i = 0; i < in.weights.size(); ++i) sum.add(numerics::negative_log_term(in, i));
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

LogTerms subtract_log_terms(double s, const LogTermsInput& in, WorkerThreads* threads,
                            LogKernel kernel) {
  TARNWICK_REQUIRE(in.f.size() == in.yields.size());
  for (const auto& fk : in.f) TARNWICK_REQUIRE(fk.size() == in.weights.size());
  const std::size_t n_events = in.weights.size();
  const std::size_t n_ranges = range_count(n_events, threads != nullptr ? threads->size() : 1);

  BoundedSum total;
  total.add_exact(s);
  if (n_ranges == 1) {
    RangeSum range = numerics::log_terms_range(in, 0, n_events, kernel);
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
      ranges[r] = numerics::log_terms_range(in, first_event(r), first_event(r + 1), kernel);
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
