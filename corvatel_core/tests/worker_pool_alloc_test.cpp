// Queuing a batch under memory pressure: this binary replaces the global
// operator new so that a chosen allocation fails while parallel_for queues.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "corvatel/worker_pool.h"

namespace {

std::atomic<long> g_allocations_until_failure{-1};  // -1: never fail

}  // namespace

void* operator new(std::size_t size) {
  if (g_allocations_until_failure.load() >= 0 && g_allocations_until_failure.fetch_sub(1) == 0) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace corvatel {
namespace {

// Whichever allocation fails, a batch is queued whole or not at all: when
// parallel_for throws, no piece ran or runs later (a piece left queued would
// point into the unwound batch); when it returns, every index ran once.
TEST(WorkerPoolQueuing, AllOrNothingWhenAnAllocationFails) {
  for (long fail_at = 0; fail_at < 4; ++fail_at) {
    SCOPED_TRACE(fail_at);
    WorkerPool pool(5);  // 40 pieces: more than one block of a piece queue
    std::atomic<std::uint64_t> ran{0};
    bool threw = false;
    g_allocations_until_failure = fail_at;
    try {
      pool.parallel_for(4000, [&](std::uint64_t b, std::uint64_t e) { ran += e - b; });
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    g_allocations_until_failure = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ran.load(), threw ? 0u : 4000u);
  }
}

}  // namespace
}  // namespace corvatel
