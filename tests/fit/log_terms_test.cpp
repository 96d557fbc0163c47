// The likelihood pass across block boundaries with every log kernel and
// thread count, and the worker threads it runs on.
#include "fit/log_terms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "fit/joint_likelihood.hpp"
#include "fit/worker_threads.hpp"
#include "numerics/exact_sum.hpp"

namespace tarnwick::fit::testing {
namespace {

using numerics::ExactSum;
using numerics::log_kernel_available;

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

// The kernels this machine runs.
std::vector<LogKernel> kernels() {
  std::vector<LogKernel> available;
  for (const LogKernel k : {LogKernel::Library, LogKernel::FourLane, LogKernel::EightLane}) {
    if (log_kernel_available(k)) available.push_back(k);
  }
  return available;
}

// The likelihood pass: the value is the exact sum of the event-by-event
// terms rounded once, with the same bits for every kernel and any number of
// threads, and the first offending event is reported wherever it lies.
TEST(LikelihoodPass, ExactValueAndFirstStopForEveryKernelAndThreadCount) {
  const std::vector<double> yields{350.0, 650.0};
  std::vector<std::unique_ptr<WorkerThreads>> pools;
  for (const std::size_t t : {1, 2, 3}) pools.push_back(std::make_unique<WorkerThreads>(t));
  // Every kernel on every pool, and the pass without threads.
  const auto passes = [&](double s, const LogTermsInput& in, auto&& check) {
    for (const LogKernel kernel : kernels()) {
      check(subtract_log_terms(s, in, nullptr, kernel), kernel, 0);
      for (auto& pool : pools) check(subtract_log_terms(s, in, pool.get(), kernel), kernel,
                                     pool->size());
    }
  };
  // 1000 events: one range; 65,836 and 300,001: several, the last short.
  for (const std::size_t n : {std::size_t{1000}, std::size_t{65'836}, std::size_t{300'001}}) {
    std::mt19937_64 rng(16);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> a(n), b(n), w(n);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = 3.0 * unit(rng);
      b[i] = unit(rng);
      w[i] = 0.5 + unit(rng);
    }
    const std::vector<std::span<const double>> f{a, b};
    for (const bool weighted : {true, false}) {
      const std::vector<double> weights = weighted ? w : std::vector<double>(n, 1.0);
      ExactSum exact;
      exact.add(1000.0);
      for (std::size_t i = 0; i < n; ++i) {
        double m = 0.0;
        m += 350.0 * a[i];
        m += 650.0 * b[i];
        exact.add(-(weights[i] * std::log(std::max(m, kDensityFloor))));
      }
      const double expected = exact.value();
      passes(1000.0, {f, yields, weights, !weighted, kDensityFloor},
             [&](const LogTerms& terms, LogKernel kernel, std::size_t threads) {
               EXPECT_EQ(terms.stopped_at, std::nullopt);
               EXPECT_EQ(bits_of(terms.nll), bits_of(expected))
                   << n << " " << weighted << " " << static_cast<int>(kernel) << " " << threads;
             });
    }
    // Stops in the first and later ranges; with two, the first one counts,
    // whichever thread meets it first.
    for (const std::size_t at : {std::size_t{300}, std::size_t{600}, n - 300, n - 5}) {
      for (const std::size_t later : {std::size_t{0}, n - 1}) {
        std::vector<double> a2 = a, b2 = b;
        a2[at] = b2[at] = 0.0;  // all zero
        if (later > at) a2[later] = 1e308;  // 350 · 1e308 overflows
        const std::vector<std::span<const double>> f2{a2, b2};
        passes(0.0, {f2, yields, w, false, kDensityFloor},
               [&](const LogTerms& terms, LogKernel kernel, std::size_t threads) {
                 EXPECT_EQ(terms.stopped_at, at)
                     << n << " " << later << " " << static_cast<int>(kernel) << " " << threads;
               });
      }
    }
  }
}

// Terms of ±10³⁰⁶ overflow the lanes, so the pass sums them again exactly;
// here they cancel, and the exact value is small and finite.
TEST(LikelihoodPass, LanesThatOverflowFallBackOnTheExactSum) {
  constexpr std::size_t n = 70'000;
  std::vector<double> a(n, 2.0), b(n, 1.0), w(n);
  for (std::size_t i = 0; i < n; ++i) w[i] = (i % 2 == 0 ? 1e306 : -1e306) * (1.0 + 1e-3 * (i % 7));
  a[17] = 5.0;
  const std::vector<std::span<const double>> f{a, b};
  const std::vector<double> yields{1.0, 1.0};
  ExactSum exact;
  exact.add(2.0);
  for (std::size_t i = 0; i < n; ++i) exact.add(-(w[i] * std::log(a[i] + b[i])));
  const double expected = exact.value();
  ASSERT_TRUE(std::isfinite(expected));
  WorkerThreads pool(2);
  for (const LogKernel kernel : kernels()) {
    for (WorkerThreads* threads : {static_cast<WorkerThreads*>(nullptr), &pool}) {
      const LogTerms terms = subtract_log_terms(2.0, {f, yields, w, false, kDensityFloor},
                                                threads, kernel);
      EXPECT_EQ(terms.stopped_at, std::nullopt);
      EXPECT_EQ(bits_of(terms.nll), bits_of(expected)) << static_cast<int>(kernel);
    }
  }
}

TEST(WorkerThreads, RunsEveryChunkOnceJobAfterJob) {
  EXPECT_GE(usable_cpus(), 1u);
  std::vector<std::atomic<int>> calls(WorkerThreads::kMostChunks);
  const std::size_t sizes[] = {1000, 0, 1, 2, 3, 7, 64, 999};
  for (const std::size_t n_threads : {1u, 2u, 3u}) {
    WorkerThreads workers(n_threads);
    EXPECT_GE(workers.size(), 1u);
    EXPECT_LE(workers.size(), n_threads);
    auto chunk = [&](std::size_t c) {
      // Uneven work, so that threads overtake one another, and a few long
      // chunks that are still running if run returns too early.
      volatile unsigned spin = 0;
      const std::size_t work = c < 1000 && c % 50 == 49 ? 20'000 : (c % 13) * 40;
      for (std::size_t i = 0; i < work; ++i) spin = spin + 1;
      calls[c].fetch_add(1, std::memory_order_relaxed);
    };
    for (int job = 0; job < 241; ++job) {
      const std::size_t n = job == 240 ? WorkerThreads::kMostChunks : sizes[job % 8];
      workers.run(n, chunk);
      std::size_t wrong = 0;
      for (std::size_t c = 0; c < std::max<std::size_t>(n, 1001); ++c) {
        wrong += calls[c].exchange(0, std::memory_order_relaxed) != (c < n ? 1 : 0);
      }
      ASSERT_EQ(wrong, 0u) << n_threads << " threads, job " << job << " of " << n << " chunks";
    }
  }
}

}  // namespace
}  // namespace tarnwick::fit::testing
