// WorkerPool: the process-wide threads that run the trials of a batch.
//
// A parallel_for cuts an index range into contiguous pieces and queues the
// batch as one entry; workers claim its pieces in order and the calling thread
// waits until every claimed piece has run. Results never depend on the pool's
// size or on which worker runs which piece, because each index writes only its
// own output slot.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace corvatel {

// Asked by a waiting caller every kStopPollInterval: true abandons the batch.
// It runs on the caller's thread, never on a worker; an empty one never stops.
using StopCheck = std::function<bool()>;

inline constexpr std::chrono::milliseconds kStopPollInterval{50};

class WorkerPool {
 public:
  // Starts `workers` threads (at least one). Throws std::system_error when a
  // thread cannot be started, after stopping the ones that did start.
  explicit WorkerPool(std::size_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return size_.load(std::memory_order_relaxed); }

  // Grows or shrinks the pool to `workers` threads (at least one). Batches
  // running meanwhile go on with the workers that remain; a retiring worker
  // first finishes the piece it holds, and resize waits for that. Throws
  // std::system_error, keeping the workers that did start, when a thread
  // cannot be started.
  void resize(std::size_t workers);

  // Non-empty parallel_for calls completed so far, for benchmarks that count
  // the batches a computation ran.
  std::uint64_t batches_run() const { return batches_run_.load(std::memory_order_relaxed); }

  // Runs body(begin, end) over pieces that together cover [0, n) exactly
  // once, and returns when all have run. `body` must not throw.
  template <typename Body>
  void parallel_for(std::uint64_t n, Body&& body) {
    (void)run_pieces(n, &call_body<Body>, context_of(body), nullptr, kMaxPieceLength);
  }

  // The longest piece: short enough that a stopped batch ends soon.
  static constexpr std::uint64_t kMaxPieceLength = 2048;

  // The same, asking `stop` while waiting. Returns false when it said stop:
  // pieces not yet started are skipped, the ones running are waited for, so
  // nothing refers to `body` afterwards. An exception from `stop` (a thread
  // being unwound included) propagates after the same clean-up. Items that
  // may each take far longer than a trial of 1 ms steps pass a shorter
  // `max_piece`.
  template <typename Body>
  [[nodiscard]] bool parallel_for(std::uint64_t n, Body&& body, const StopCheck& stop,
                                  std::uint64_t max_piece = kMaxPieceLength) {
    return run_pieces(n, &call_body<Body>, context_of(body), stop ? &stop : nullptr, max_piece);
  }

  // The pool shared by the whole process, created on first use with
  // shared_size() workers. A child made by fork() gets a fresh pool on its
  // first use, since the parent's threads do not exist there. Throws
  // std::system_error when no pool can be started; a later call tries again.
  static WorkerPool& shared();

  // The workers the shared pool has, or will start with: the last
  // set_shared_size, else CORVATEL_NUM_THREADS when it holds a valid count,
  // else available_processors().
  static std::size_t shared_size();

  // Sets the shared pool's size (at least one), resizing it if it runs.
  static void set_shared_size(std::size_t workers);

 private:
  using PieceFn = void (*)(void* ctx, std::uint64_t begin, std::uint64_t end);
  struct Batch;

  template <typename Body>
  static void* context_of(Body& body) {
    return const_cast<void*>(static_cast<const void*>(std::addressof(body)));
  }
  template <typename Body>
  static void call_body(void* ctx, std::uint64_t begin, std::uint64_t end) {
    (*static_cast<std::remove_reference_t<Body>*>(ctx))(begin, end);
  }

  bool run_pieces(std::uint64_t n, PieceFn fn, void* ctx, const StopCheck* stop, std::uint64_t max_piece);
  void work(std::size_t index);
  void unlink(Batch* batch);
  void stop_all();

  std::mutex mutex_;  // guards the queue, active_ and stopping_
  std::condition_variable work_ready_;
  Batch* head_ = nullptr;  // batches with unclaimed pieces, oldest first
  Batch* tail_ = nullptr;
  std::size_t active_ = 0;  // workers with an index below this keep working
  bool stopping_ = false;
  std::atomic<std::size_t> size_{0};
  std::atomic<std::uint64_t> batches_run_{0};
  std::mutex resize_mutex_;  // guards threads_
  std::vector<std::thread> threads_;
};

// Processors this process may run on (its affinity mask), at least 1.
std::size_t available_processors();

// A worker count written as decimal digits, from 1 to kMaxWorkers; nothing
// for any other text.
inline constexpr std::size_t kMaxWorkers = 1024;
std::optional<std::size_t> parse_worker_count(std::string_view text);

}  // namespace corvatel
