#include "corvatel/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <system_error>

namespace corvatel {

struct WorkerPool::Batch {
  PieceFn fn;
  void* ctx;
  std::size_t pieces_left;
  std::condition_variable done;
};

WorkerPool::WorkerPool(std::size_t workers) {
  workers = std::max<std::size_t>(workers, 1);
  threads_.reserve(workers);
  try {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  } catch (const std::system_error& e) {
    stop_started();
    throw std::system_error(e.code(), "cannot start the simulation worker threads");
  } catch (...) {
    stop_started();
    throw;
  }
}

void WorkerPool::stop_started() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

WorkerPool::~WorkerPool() { stop_started(); }

void WorkerPool::run_pieces(std::uint64_t n, PieceFn fn, void* ctx) {
  if (n == 0) return;
  // Several pieces per worker even out trials of unequal length.
  const std::uint64_t target_pieces = 8 * static_cast<std::uint64_t>(threads_.size());
  const std::uint64_t piece_len = std::max<std::uint64_t>(1, (n + target_pieces - 1) / target_pieces);
  const std::uint64_t pieces = (n + piece_len - 1) / piece_len;

  Batch batch{fn, ctx, static_cast<std::size_t>(pieces), {}};
  std::unique_lock lock(mutex_);
  for (std::uint64_t begin = 0; begin < n; begin += piece_len) {
    queue_.push_back({&batch, begin, std::min(n, begin + piece_len)});
  }
  work_ready_.notify_all();
  batch.done.wait(lock, [&] { return batch.pieces_left == 0; });
  batches_run_.fetch_add(1, std::memory_order_relaxed);
}

void WorkerPool::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left to run
    const Piece piece = queue_.front();
    queue_.pop_front();
    lock.unlock();
    piece.batch->fn(piece.batch->ctx, piece.begin, piece.end);
    lock.lock();
    if (--piece.batch->pieces_left == 0) piece.batch->done.notify_one();
  }
}

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

namespace {

std::mutex g_shared_mutex;
WorkerPool* g_shared = nullptr;  // never destroyed: it lives until the process ends

void lock_shared() { g_shared_mutex.lock(); }
void unlock_shared() { g_shared_mutex.unlock(); }
void forget_shared_in_child() {
  // The parent's workers do not exist in the child, and its queue lock may be
  // held by one of them: abandon that pool (a small leak per fork) and let the
  // next batch start a fresh one.
  g_shared = nullptr;
  g_shared_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::shared() {
  static const int registered = pthread_atfork(lock_shared, unlock_shared, forget_shared_in_child);
  (void)registered;
  std::lock_guard lock(g_shared_mutex);
  if (g_shared == nullptr) g_shared = new WorkerPool(available_processors());
  return *g_shared;
}

}  // namespace corvatel
