#include "corvatel/worker_pool.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "corvatel/simulate.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace corvatel {
namespace {

class WorkerPoolCoverage : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint64_t>> {};

// Every index is visited exactly once, whatever the pool size and range.
TEST_P(WorkerPoolCoverage, EachIndexOnce) {
  const auto [workers, n] = GetParam();
  WorkerPool pool(workers);
  std::vector<int> visits(n, 0);
  pool.parallel_for(n, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) visits[i] += 1;
  });
  for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(visits[i], 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkerPoolCoverage,
                         ::testing::Combine(::testing::Values(1, 2, 5),
                                            ::testing::Values(0, 1, 7, 16, 1000, 4097)));

TEST(WorkerPool, ConcurrentCallersShareOnePool) {
  WorkerPool pool(2);
  std::vector<std::thread> callers;
  std::vector<std::uint64_t> sums(6, 0);
  for (std::size_t c = 0; c < sums.size(); ++c) {
    callers.emplace_back([&, c] {
      for (int rep = 0; rep < 50; ++rep) {
        std::vector<std::uint64_t> out(500);
        pool.parallel_for(out.size(), [&](std::uint64_t b, std::uint64_t e) {
          for (std::uint64_t i = b; i < e; ++i) out[i] = i;
        });
        for (auto v : out) sums[c] += v;
      }
    });
  }
  for (auto& t : callers) t.join();
  for (auto s : sums) EXPECT_EQ(s, 50u * (499u * 500u / 2));
}

TEST(WorkerPool, SharedPoolMatchesAffinity) {
  EXPECT_EQ(WorkerPool::shared().size(), available_processors());
  EXPECT_EQ(&WorkerPool::shared(), &WorkerPool::shared());
}

// The parent's workers do not survive fork(); the child must get a working
// pool rather than wait forever on threads that are gone.
TEST(WorkerPool, ChildOfForkGetsAFreshPool) {
  WorkerPool& parent_pool = WorkerPool::shared();
  std::atomic<std::uint64_t> count{0};
  parent_pool.parallel_for(100, [&](std::uint64_t b, std::uint64_t e) { count += e - b; });
  ASSERT_EQ(count.load(), 100u);

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(20);  // a hang ends the child with SIGALRM, failing the test
    std::atomic<std::uint64_t> child_count{0};
    WorkerPool::shared().parallel_for(1000, [&](std::uint64_t b, std::uint64_t e) { child_count += e - b; });
    _exit(child_count.load() == 1000 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child did not exit normally (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs `child` in a forked process (with `fork_fn`) and expects it to exit 0
// within 20 s; a hang ends the child with SIGALRM.
template <typename ForkFn, typename Child>
void expect_child_succeeds(ForkFn fork_fn, Child child) {
  const pid_t pid = fork_fn();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(20);
    _exit(child() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child did not exit normally (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

bool shared_pool_counts(std::uint64_t n) {
  std::atomic<std::uint64_t> count{0};
  WorkerPool::shared().parallel_for(n, [&](std::uint64_t b, std::uint64_t e) { count += e - b; });
  return count.load() == n;
}

// A fork by a raw system call runs no at-fork handlers. Newer processors'
// kernels (aarch64) have no fork call, only clone, which forks when given
// just the child's exit signal.
pid_t fork_without_handlers() {
#if defined(SYS_fork)
  return static_cast<pid_t>(syscall(SYS_fork));
#else
  return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
#endif
}

// As when registering the handlers failed: the child must still see that the
// parent's pool is not its own.
TEST(WorkerPool, ChildOfForkWithoutHandlersGetsAFreshPool) {
  ASSERT_TRUE(shared_pool_counts(100));
  expect_child_succeeds(fork_without_handlers, [] { return shared_pool_counts(1000); });
}

// The thread count read when the shared pool first starts; a bad value is
// ignored. Each case runs in a child so that the pool starts there.
TEST(WorkerPool, SharedSizeFromEnvironment) {
  const std::size_t fallback = available_processors();
  for (const auto& [text, expected] : std::vector<std::pair<const char*, std::size_t>>{
           {"3", 3}, {"1", 1}, {"0", fallback}, {"-2", fallback}, {"two", fallback}, {"", fallback}, {"2 ", fallback}}) {
    SCOPED_TRACE(text);
    expect_child_succeeds(fork, [&, text = text, expected = expected] {
      setenv("CORVATEL_NUM_THREADS", text, 1);
      return WorkerPool::shared_size() == expected && WorkerPool::shared().size() == expected &&
             shared_pool_counts(500);
    });
  }
}

TEST(WorkerPool, ParseWorkerCount) {
  EXPECT_EQ(parse_worker_count("1"), 1u);
  EXPECT_EQ(parse_worker_count("0016"), 16u);
  EXPECT_EQ(parse_worker_count("1024"), 1024u);
  for (const char* bad : {"", "0", "1025", "99999", "+1", "-1", " 1", "1.0", "x"}) {
    EXPECT_EQ(parse_worker_count(bad), std::nullopt) << bad;
  }
}

// set_shared_size while batches run in other threads: every batch still
// covers each index once, and the size ends as set.
TEST(WorkerPool, ResizeWhileBatchesRun) {
  WorkerPool pool(2);
  std::atomic<bool> done{false};
  std::vector<std::thread> callers;
  std::atomic<int> failures{0};
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&] {
      for (int rep = 0; rep < 200; ++rep) {
        std::vector<int> visits(3000, 0);
        pool.parallel_for(visits.size(), [&](std::uint64_t b, std::uint64_t e) {
          for (std::uint64_t i = b; i < e; ++i) visits[i] += 1;
        });
        for (int v : visits) failures += v != 1;
      }
    });
  }
  std::thread resizer([&] {
    for (std::size_t k = 0; !done; k = (k + 1) % 4) pool.resize(k + 1);
  });
  for (auto& t : callers) t.join();
  done = true;
  resizer.join();
  EXPECT_EQ(failures.load(), 0);
  pool.resize(3);
  EXPECT_EQ(pool.size(), 3u);
  pool.resize(0);
  EXPECT_EQ(pool.size(), 1u);
}

TEST(WorkerPool, SetSharedSizeResizesTheRunningPool) {
  WorkerPool::set_shared_size(3);
  EXPECT_EQ(WorkerPool::shared().size(), 3u);
  WorkerPool::set_shared_size(1);
  EXPECT_EQ(WorkerPool::shared_size(), 1u);
  EXPECT_EQ(WorkerPool::shared().size(), 1u);
  EXPECT_TRUE(shared_pool_counts(777));
}

// A stop skips the pieces not yet started and waits for the running ones:
// once parallel_for returns, nothing touches the batch any more.
TEST(WorkerPool, StopSkipsTheRestAndLeavesNothingRunning) {
  WorkerPool pool(2);
  std::atomic<std::uint64_t> ran{0};
  int asked = 0;
  const StopCheck stop = [&] { return ++asked == 2; };
  const auto started = std::chrono::steady_clock::now();
  const bool completed = pool.parallel_for(
      1'000'000,
      [&](std::uint64_t b, std::uint64_t e) {
        for (std::uint64_t i = b; i < e; ++i) {
          if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
          ++ran;
        }
      },
      stop);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(completed);
  EXPECT_EQ(asked, 2);
  const std::uint64_t at_return = ran.load();
  EXPECT_LT(at_return, 1'000'000u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ran.load(), at_return);
  EXPECT_LT(elapsed, std::chrono::seconds(5));  // not the whole batch (about 800 s of sleeps)
  EXPECT_TRUE(pool.parallel_for(10, [](std::uint64_t, std::uint64_t) {}, stop));  // the pool still works
}

// Items far longer than a trial of 1 ms steps (simulate_bounds' fine dt)
// come in shorter pieces, so that a stop waits for less.
TEST(WorkerPool, PiecesKeepToTheCallersLongest) {
  WorkerPool pool(2);
  std::mutex mutex;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  const StopCheck never = [] { return false; };
  for (const std::uint64_t longest : {std::uint64_t{1}, std::uint64_t{3}, WorkerPool::kMaxPieceLength}) {
    pieces.clear();
    EXPECT_TRUE(pool.parallel_for(
        100'000,
        [&](std::uint64_t b, std::uint64_t e) {
          const std::lock_guard lock(mutex);
          pieces.emplace_back(b, e);
        },
        never, longest));
    std::sort(pieces.begin(), pieces.end());
    std::uint64_t covered = 0;
    for (const auto& [b, e] : pieces) {
      EXPECT_EQ(b, covered);
      EXPECT_LE(e - b, longest);
      covered = e;
    }
    EXPECT_EQ(covered, 100'000u);
  }
}

TEST(WorkerPool, ExceptionFromStopCheckPropagatesAfterCleanUp) {
  WorkerPool pool(2);
  std::atomic<std::uint64_t> ran{0};
  const StopCheck stop = [] () -> bool { throw std::runtime_error("unwinding"); };
  EXPECT_THROW((void)pool.parallel_for(
                   10'000'000,
                   [&](std::uint64_t b, std::uint64_t e) {
                     std::this_thread::sleep_for(std::chrono::milliseconds(5));
                     ran += e - b;
                   },
                   stop),
               std::runtime_error);
  const std::uint64_t at_return = ran.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ran.load(), at_return);
}

// What a worker sees of the floating-point environment, and the result of
// two operations whose bits depend on it.
struct FloatingPointView {
  int rounding;
  double third;
  double tiny;
#if defined(__x86_64__)
  unsigned mxcsr;
#endif
};

FloatingPointView observe_floating_point() {
  volatile double one = 1.0, three = 3.0, small = 0x1p-1022, half = 0.5;
  return FloatingPointView{std::fegetround(), one / three, small * half
#if defined(__x86_64__)
                           ,
                           _mm_getcsr() & ~0x3Fu  // without the sticky exception flags
#endif
  };
}

// Workers start from the default environment whatever the thread that made
// the pool had set: its rounding and (x86) flush-to-zero modes change nothing.
TEST(WorkerPool, WorkersUseTheDefaultFloatingPointEnvironment) {
  const FloatingPointView expected = observe_floating_point();
  const Params params{0.7, 1.2, 0.4, 0.25, 1.0};
  const TrialBatch reference = simulate_n(params, 400, 99, *std::make_unique<WorkerPool>(2));

  std::fenv_t saved;
  std::fegetenv(&saved);
  std::fesetround(FE_UPWARD);
#if defined(__x86_64__)
  _mm_setcsr(_mm_getcsr() | 0x8040u);  // FTZ and DAZ
#endif
  const FloatingPointView changed = observe_floating_point();
  auto pool = std::make_unique<WorkerPool>(2);
  std::fesetenv(&saved);
#if defined(__x86_64__)
  _mm_setcsr(_mm_getcsr() & ~0x8040u);
#endif
  ASSERT_NE(changed.rounding, expected.rounding);  // the change did take effect in the caller
#if defined(__x86_64__)
  ASSERT_NE(changed.tiny, expected.tiny);  // flush-to-zero, which only x86 sets here
#endif

  std::vector<FloatingPointView> seen(pool->size() * 4);
  pool->parallel_for(seen.size(), [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) seen[i] = observe_floating_point();
  });
  for (const auto& view : seen) {
    EXPECT_EQ(view.rounding, expected.rounding);
    EXPECT_EQ(view.third, expected.third);
    EXPECT_EQ(view.tiny, expected.tiny);
#if defined(__x86_64__)
    EXPECT_EQ(view.mxcsr, expected.mxcsr);
#endif
  }
  const TrialBatch batch = simulate_n(params, 400, 99, *pool);
  for (std::uint64_t i = 0; i < batch.size(); ++i) {
    ASSERT_EQ(batch[i].rt, reference[i].rt) << i;
    ASSERT_EQ(batch[i].choice, reference[i].choice) << i;
  }
}

}  // namespace
}  // namespace corvatel
