// Threads that share the chunks of a job with the calling thread.
//
// The threads are started once (by the fit, for one call) and sleep on a
// condition variable between jobs: a job wakes them, and every thread, the
// caller first among them, claims chunks in increasing order from one
// counter until none is left. A thread that the system has descheduled
// simply claims fewer chunks; the caller never waits for a thread that has
// not claimed one, and waits for one that has by sleeping, never by
// spinning. Nothing here touches Python.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnwick::fit {

// The CPUs this process may run on (sched_getaffinity), at least 1.
[[nodiscard]] std::size_t usable_cpus();

class WorkerThreads {
 public:
  // Starts up to n_threads − 1 threads besides the caller (fewer when the
  // system refuses one: the jobs then run on the threads there are).
  explicit WorkerThreads(std::size_t n_threads);
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Threads a job may run on, the caller included.
  [[nodiscard]] std::size_t size() const { return threads_.size() + 1; }

  // The most chunks of one job.
  static constexpr std::size_t kMostChunks = (std::size_t{1} << 20) - 1;

  // Calls chunk(c) once for every c < n_chunks ≤ kMostChunks, on this thread and the
  // workers, and returns when every call has returned. `chunk` must not
  // throw.
  template <class Chunk>
  void run(std::size_t n_chunks, Chunk& chunk) {
    run_job(n_chunks, [](void* f, std::size_t c) { (*static_cast<Chunk*>(f))(c); }, &chunk);
  }

 private:
  using ChunkFunction = void (*)(void*, std::size_t);
  void run_job(std::size_t n_chunks, ChunkFunction function, void* context);
  void work();
  // Claims and runs chunks of job `generation` until none is left.
  void run_chunks(std::uint64_t generation);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  // The current job: written under the mutex before its generation is
  // published in next_.
  ChunkFunction function_ = nullptr;
  void* context_ = nullptr;
  std::uint64_t generation_ = 0;
  bool stopping_ = false;
  // The job's generation (24 bits), its number of chunks and the next chunk
  // (20 bits each) in one word: a claim succeeds only for the current job,
  // so a thread that wakes late can never claim a chunk of a later one.
  std::atomic<std::uint64_t> next_{0};
  std::atomic<std::size_t> finished_{0};
};

}  // namespace tarnwick::fit
