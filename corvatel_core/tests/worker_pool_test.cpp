#include "corvatel/worker_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace corvatel
