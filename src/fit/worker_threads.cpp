#include "fit/worker_threads.hpp"

#include <sched.h>

#include <system_error>

#include "base/check.hpp"

namespace tarnwick::fit {

namespace {

constexpr unsigned kCountBits = 20;
constexpr std::uint64_t kCountMask = (std::uint64_t{1} << kCountBits) - 1;
constexpr std::uint64_t kGenerationMask = (std::uint64_t{1} << 24) - 1;

std::uint64_t job_word(std::uint64_t generation, std::size_t n_chunks) {
  return (generation << (2 * kCountBits)) | (std::uint64_t{n_chunks} << kCountBits);
}

}  // namespace

std::size_t usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

WorkerThreads::WorkerThreads(std::size_t n_threads) {
  for (std::size_t t = 1; t < n_threads; ++t) {
    try {
      threads_.emplace_back(&WorkerThreads::work, this);
    } catch (const std::system_error&) {
      break;
    }
  }
}

WorkerThreads::~WorkerThreads() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkerThreads::run_job(std::size_t n_chunks, ChunkFunction function, void* context) {
  TARNWICK_REQUIRE(n_chunks <= kMostChunks);
  if (n_chunks == 0) return;
  std::uint64_t generation = 0;
  {
    const std::lock_guard lock(mutex_);
    function_ = function;
    context_ = context;
    generation = ++generation_ & kGenerationMask;
    finished_.store(0, std::memory_order_relaxed);
    next_.store(job_word(generation, n_chunks), std::memory_order_release);
  }
  if (!threads_.empty()) wake_.notify_all();
  run_chunks(generation);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return finished_.load(std::memory_order_acquire) == n_chunks; });
}

void WorkerThreads::run_chunks(std::uint64_t generation) {
  for (;;) {
    std::uint64_t next = next_.load(std::memory_order_acquire);
    std::size_t chunk = 0;
    std::size_t n_chunks = 0;
    for (;;) {
      if ((next >> (2 * kCountBits)) != generation) return;
      chunk = static_cast<std::size_t>(next & kCountMask);
      n_chunks = static_cast<std::size_t>((next >> kCountBits) & kCountMask);
      if (chunk >= n_chunks) return;
      if (next_.compare_exchange_weak(next, next + 1, std::memory_order_acq_rel)) break;
    }
    function_(context_, chunk);
    if (finished_.fetch_add(1, std::memory_order_acq_rel) + 1 == n_chunks) {
      // Under the mutex, so that the caller cannot miss it between its test
      // and its wait.
      const std::lock_guard lock(mutex_);
      done_.notify_one();
    }
  }
}

void WorkerThreads::work() {
  std::uint64_t seen = 0;
  for (;;) {
    std::uint64_t generation = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      generation = seen & kGenerationMask;
    }
    run_chunks(generation);
  }
}

}  // namespace tarnwick::fit
