#include "corvatel/worker_pool.h"

#include "corvatel/fp_environment.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>


namespace corvatel {

namespace {

// Several pieces per worker even out trials of unequal length.
constexpr std::uint64_t kPiecesPerWorker = 8;

}  // namespace

struct WorkerPool::Batch {
  PieceFn fn;
  void* ctx;
  std::uint64_t n;
  std::uint64_t piece_length;
  std::uint64_t pieces;
  std::uint64_t next_piece = 0;  // the first piece not yet claimed
  std::uint64_t running = 0;     // claimed pieces still running
  bool queued = false;           // still has pieces to claim
  Batch* next = nullptr;
  std::condition_variable done;
};

WorkerPool::WorkerPool(std::size_t workers) {
  try {
    resize(workers);
  } catch (const std::system_error& e) {
    stop_all();
    throw std::system_error(e.code(), "cannot start the simulation worker threads");
  } catch (...) {
    stop_all();
    throw;
  }
}

WorkerPool::~WorkerPool() { stop_all(); }

void WorkerPool::stop_all() {
  std::lock_guard resizing(resize_mutex_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
  size_.store(0, std::memory_order_relaxed);
}

void WorkerPool::resize(std::size_t workers) {
  workers = std::max<std::size_t>(workers, 1);
  std::lock_guard resizing(resize_mutex_);
  if (workers < threads_.size()) {
    {
      std::lock_guard lock(mutex_);
      active_ = workers;
    }
    work_ready_.notify_all();
    for (std::size_t i = workers; i < threads_.size(); ++i) threads_[i].join();
    threads_.resize(workers);
  } else if (workers > threads_.size()) {
    {
      std::lock_guard lock(mutex_);
      active_ = workers;
    }
    try {
      threads_.reserve(workers);
      for (std::size_t i = threads_.size(); i < workers; ++i) threads_.emplace_back([this, i] { work(i); });
    } catch (...) {
      std::lock_guard lock(mutex_);
      active_ = threads_.size();
      size_.store(threads_.size(), std::memory_order_relaxed);
      throw;
    }
  }
  size_.store(threads_.size(), std::memory_order_relaxed);
}

void WorkerPool::unlink(Batch* batch) {
  Batch* before = nullptr;
  for (Batch* b = head_; b != nullptr; before = b, b = b->next) {
    if (b != batch) continue;
    (before == nullptr ? head_ : before->next) = b->next;
    if (tail_ == b) tail_ = before;
    break;
  }
  batch->queued = false;
  batch->next = nullptr;
}

bool WorkerPool::run_pieces(std::uint64_t n, PieceFn fn, void* ctx, const StopCheck* stop, std::uint64_t max_piece) {
  if (n == 0) return true;
  const std::uint64_t target_pieces = kPiecesPerWorker * std::max<std::uint64_t>(size(), 1);
  const std::uint64_t piece_length = std::clamp<std::uint64_t>(n / target_pieces + (n % target_pieces != 0), 1,
                                                               std::max<std::uint64_t>(max_piece, 1));
  Batch batch{fn, ctx, n, piece_length, n / piece_length + (n % piece_length != 0), 0, 0, false, nullptr, {}};
  const auto finished = [&] { return !batch.queued && batch.running == 0; };

  // Queuing links the batch in one step and allocates nothing, so it either
  // happens whole or not at all.
  std::unique_lock lock(mutex_);
  batch.queued = true;
  (tail_ == nullptr ? head_ : tail_->next) = &batch;
  tail_ = &batch;
  work_ready_.notify_all();

  bool stopped = false;
  if (stop == nullptr) {
    batch.done.wait(lock, finished);
  } else {
    while (!batch.done.wait_for(lock, kStopPollInterval, finished)) {
      lock.unlock();
      try {
        stopped = (*stop)();
      } catch (...) {
        // Also a forced unwind of this thread: the workers must let go of
        // the batch before its frame disappears. Rethrown, never swallowed.
        lock.lock();
        if (batch.queued) unlink(&batch);
        batch.done.wait(lock, finished);
        throw;
      }
      lock.lock();
      if (stopped) {
        if (batch.queued) unlink(&batch);
        batch.done.wait(lock, finished);
        break;
      }
    }
  }
  batches_run_.fetch_add(1, std::memory_order_relaxed);
  return !stopped;
}

void WorkerPool::work(std::size_t index) {
  // Threads inherit the floating-point modes of the thread that starts them;
  // results must not depend on who that was.
  use_default_floating_point_environment();
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stopping_ || index >= active_ || head_ != nullptr; });
    if (index >= active_) return;   // retired by resize
    if (head_ == nullptr) return;  // stopping, and nothing left to run
    Batch* batch = head_;
    const std::uint64_t begin = batch->next_piece * batch->piece_length;
    const std::uint64_t end = std::min(batch->n, begin + batch->piece_length);
    if (++batch->next_piece == batch->pieces) unlink(batch);
    ++batch->running;
    lock.unlock();
    batch->fn(batch->ctx, begin, end);
    lock.lock();
    // Notified under the lock: the caller cannot see the batch finished, and
    // free it, before this worker is done with it.
    if (--batch->running == 0 && !batch->queued) batch->done.notify_one();
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

std::optional<std::size_t> parse_worker_count(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (value < 1 || value > kMaxWorkers) return std::nullopt;
  return value;
}

namespace {

std::mutex g_shared_mutex;
WorkerPool* g_shared = nullptr;  // never destroyed: it lives until the process ends
pid_t g_shared_pid = 0;          // the process that started g_shared's threads
std::size_t g_shared_size = 0;   // set by set_shared_size; 0 when never set
bool g_atfork_registered = false;

void lock_shared() { g_shared_mutex.lock(); }
void unlock_shared() { g_shared_mutex.unlock(); }
void forget_shared_in_child() {
  // The parent's workers do not exist in the child, and its queue lock may be
  // held by one of them: abandon that pool (a small leak per fork) and let the
  // next batch start a fresh one.
  g_shared = nullptr;
  g_shared_mutex.unlock();
}

// Called with g_shared_mutex held.
std::size_t configured_size() {
  if (g_shared_size != 0) return g_shared_size;
  if (const char* text = std::getenv("CORVATEL_NUM_THREADS")) {
    if (const auto count = parse_worker_count(text)) return *count;
  }
  return available_processors();
}

// Called with g_shared_mutex held. A pool started by another process (a
// fork that bypassed the at-fork handler) has no threads here.
WorkerPool* live_shared() {
  if (g_shared != nullptr && g_shared_pid != getpid()) g_shared = nullptr;
  return g_shared;
}

}  // namespace

WorkerPool& WorkerPool::shared() {
  std::lock_guard lock(g_shared_mutex);
  // Registration can fail (out of memory); the process id check above still
  // catches the child, so try again on the next use rather than give up.
  if (!g_atfork_registered) {
    g_atfork_registered = pthread_atfork(lock_shared, unlock_shared, forget_shared_in_child) == 0;
  }
  if (live_shared() == nullptr) {
    g_shared = new WorkerPool(configured_size());
    g_shared_pid = getpid();
  }
  return *g_shared;
}

std::size_t WorkerPool::shared_size() {
  std::lock_guard lock(g_shared_mutex);
  if (WorkerPool* pool = live_shared()) return pool->size();
  return configured_size();
}

void WorkerPool::set_shared_size(std::size_t workers) {
  std::lock_guard lock(g_shared_mutex);
  g_shared_size = std::max<std::size_t>(workers, 1);
  if (WorkerPool* pool = live_shared()) pool->resize(g_shared_size);
}

}  // namespace corvatel
