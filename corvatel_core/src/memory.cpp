#include "corvatel/memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace corvatel {

namespace {

// The "<key>: <value> kB" lines of a /proc file, in bytes.
std::optional<std::uint64_t> proc_kilobytes(const char* path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0 || line.size() <= key.size() || line[key.size()] != ':') continue;
    try {
      return std::stoull(line.substr(key.size() + 1)) * 1024;
    } catch (...) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Room left under a resource limit, given what the process already uses.
std::optional<std::uint64_t> room_under(int resource, const char* status_key) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  const std::uint64_t used = proc_kilobytes("/proc/self/status", status_key).value_or(0);
  return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

}  // namespace

std::optional<std::uint64_t> obtainable_memory() {
  std::optional<std::uint64_t> room;
  const auto available = proc_kilobytes("/proc/meminfo", "MemAvailable");
  if (available) room = *available + proc_kilobytes("/proc/meminfo", "SwapFree").value_or(0);
  for (const auto limit : {room_under(RLIMIT_AS, "VmSize"), room_under(RLIMIT_DATA, "VmData")}) {
    if (limit) room = room ? std::min(*room, *limit) : *limit;
  }
  return room;
}

bool memory_allows(std::uint64_t count, std::uint64_t bytes_each) {
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, bytes_each, &bytes)) return false;
  if (bytes <= kUncheckedBytes) return true;
  const auto room = obtainable_memory();
  return !room || bytes <= *room;
}

}  // namespace corvatel
