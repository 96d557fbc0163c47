// The log part of the extended likelihood,
//
//   NLL = S + Σ_i (−t_i),   t_i = w_i ln max(m_i, floor),   m_i = Σ_k y_k f_k(i),
//
// rounded once: the value is the exact sum of S and every −t_i rounded to
// the nearest double (see exact_sum.hpp). Each t_i is computed the same way
// everywhere (m_i summed in component order from 0, each product and sum
// rounded on its own; std::log bit for bit; then the product with w_i), so
// the result does not depend on the vector width, the blocks, the log
// kernel or the number of threads.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "numerics/exact_log.hpp"
#include "numerics/log_range.hpp"

namespace tarnwick::fit {

using numerics::LogKernel;
using numerics::LogTermsInput;

class WorkerThreads;

struct LogTerms {
  // The sum; meaningless when the pass stopped.
  double nll;
  // The first event whose PDF values are all zero or whose mixture density
  // is not finite, if any.
  std::optional<std::size_t> stopped_at;
};

// The fewest events for which a pass uses more than one thread: a range of
// this many pays for waking its thread.
inline constexpr std::size_t kEventsPerThread = std::size_t{1} << 15;

// Threads for the pass over n_events: one per CPU this process may use, at
// most eight, and no more than have kEventsPerThread events each (so one on
// a process confined to one CPU).
[[nodiscard]] std::size_t pass_thread_count(std::size_t n_events);

// Rounds S + Σ(−t_i) once. Each range is summed by the numerics' pass
// with `kernel` (which must be available). With `threads` (may be null) the
// events are split into contiguous ranges that the threads claim in turn.
[[nodiscard]] LogTerms subtract_log_terms(double s, const LogTermsInput& in,
                                          WorkerThreads* threads = nullptr,
                                          LogKernel kernel = numerics::fastest_log_kernel());

}  // namespace tarnwick::fit
