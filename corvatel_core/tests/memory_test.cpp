#include "corvatel/memory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

namespace corvatel {
namespace {

TEST(ObtainableMemory, KnownOnLinuxAndBoundsTheChecks) {
  const auto room = obtainable_memory();
  ASSERT_TRUE(room.has_value());
  EXPECT_GT(*room, 0u);
  EXPECT_TRUE(memory_allows(1, 1));
  EXPECT_TRUE(memory_allows(0, UINT64_MAX));
  EXPECT_FALSE(memory_allows(*room / 8 + 1, 16));
  EXPECT_FALSE(memory_allows(UINT64_MAX / 2, 3));  // the product overflows
}

// An address-space limit leaves less room than the machine has.
TEST(ObtainableMemory, AddressSpaceLimitCounts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer's shadow memory cannot be mapped under a 4 GiB address
  // space, and its allocator ends the child before the check runs.
  GTEST_SKIP() << "address-space limits do not apply under a sanitizer";
#endif
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit limit{rlim_t{4} << 30, rlim_t{4} << 30};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    const auto room = obtainable_memory();
    _exit(room && *room < (std::uint64_t{4} << 30) && !memory_allows(std::uint64_t{5} << 30, 1) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// With no room left at all, small requests still pass (the allocator answers
// for them) and the first byte past the unchecked size does not.
TEST(ObtainableMemory, SmallRequestsPassUnchecked) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "address-space limits do not apply under a sanitizer";
#endif
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Below what the process already maps: no room is left.
    const rlimit limit{rlim_t{1} << 20, rlim_t{1} << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    const bool ok = obtainable_memory() == std::uint64_t{0} && memory_allows(kUncheckedBytes / 8, 8) &&
                    !memory_allows(kUncheckedBytes + 1, 1);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace corvatel
