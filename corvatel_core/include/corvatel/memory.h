// How much more memory this process can obtain, so that a call too large for
// the machine fails before it allocates: the kernel's overcommit would grant
// the allocations and the process would be killed part-way instead.
#pragma once

#include <cstdint>
#include <optional>

namespace corvatel {

// Bytes the process can still obtain: the memory available plus free swap
// (/proc/meminfo's MemAvailable + SwapFree), less where an address-space or
// data-segment limit (RLIMIT_AS, RLIMIT_DATA) leaves less room. Nothing when
// none of these can be read.
std::optional<std::uint64_t> obtainable_memory();

// Requests up to this size pass without asking: reading /proc takes about
// 0.1 ms, more than a small call's whole work, and the allocator reports its
// own failure for them (std::bad_alloc, MemoryError) where a cramped
// process has no room.
inline constexpr std::uint64_t kUncheckedBytes = std::uint64_t{4} << 20;

// False when `count` items of `bytes_each` (their product may overflow) are
// more than obtainable_memory(); true when they fit, are at most
// kUncheckedBytes, or nothing is known.
bool memory_allows(std::uint64_t count, std::uint64_t bytes_each);

}  // namespace corvatel
