// WorkerPool: the process-wide threads that run the trials of a batch.
//
// A parallel_for cuts an index range into contiguous pieces and queues them;
// the calling thread waits until every piece has run. Results never depend on
// the pool's size or on which worker runs which piece, because each index
// writes only its own output slot.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace corvatel {

class WorkerPool {
 public:
  // Starts `workers` threads (at least one). Throws std::system_error when a
  // thread cannot be started, after stopping the ones that did start.
  explicit WorkerPool(std::size_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return threads_.size(); }

  // Non-empty parallel_for calls completed so far, for benchmarks that count
  // the batches a computation ran.
  std::uint64_t batches_run() const { return batches_run_.load(std::memory_order_relaxed); }

  // Runs body(begin, end) over pieces that together cover [0, n) exactly
  // once, and returns when all have run. `body` must not throw.
  template <typename Body>
  void parallel_for(std::uint64_t n, Body&& body) {
    run_pieces(n, [](void* ctx, std::uint64_t b, std::uint64_t e) { (*static_cast<Body*>(ctx))(b, e); },
               &body);
  }

  // The pool shared by the whole process, created on first use with one
  // worker per processor in this process's affinity mask. A child made by
  // fork() gets a fresh pool on its first use, since the parent's threads do
  // not exist there. Throws std::system_error when no pool can be started;
  // a later call tries again.
  static WorkerPool& shared();

 private:
  using PieceFn = void (*)(void* ctx, std::uint64_t begin, std::uint64_t end);
  struct Batch;
  struct Piece {
    Batch* batch;
    std::uint64_t begin;
    std::uint64_t end;
  };

  void run_pieces(std::uint64_t n, PieceFn fn, void* ctx);
  void work();
  void stop_started();

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Piece> queue_;
  bool stopping_ = false;
  std::atomic<std::uint64_t> batches_run_{0};
  std::vector<std::thread> threads_;
};

// Processors this process may run on (its affinity mask), at least 1.
std::size_t available_processors();

}  // namespace corvatel
