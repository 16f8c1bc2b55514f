#include "base/memory_limit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

namespace {

void take_smaller(MemoryLimit& limit, std::uint64_t bytes, const char* what) {
  if (bytes < limit.bytes) limit = {bytes, what};
}

// memory.max of this process's cgroup (v2): "max" or a number of bytes.
std::uint64_t cgroup_memory_max() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  std::string path;
  while (std::getline(groups, line)) {
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  }
  if (path.empty()) return UINT64_MAX;
  // Every level up to the root may limit; the smallest counts.
  std::uint64_t smallest = UINT64_MAX;
  for (;;) {
    std::ifstream max("/sys/fs/cgroup" + path + (path.ends_with("/") ? "" : "/") + "memory.max");
    std::string value;
    if (max >> value && value != "max") {
      try {
        const std::uint64_t bytes = std::stoull(value);
        if (bytes < smallest) smallest = bytes;
      } catch (...) {
      }
    }
    if (path.empty() || path == "/") break;
    const std::size_t slash = path.find_last_of('/');
    path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
  }
  return smallest;
}

}  // namespace

MemoryLimit memory_limit(std::uint64_t max_memory) {
  MemoryLimit limit;
  if (max_memory != 0) take_smaller(limit, max_memory, "--max-memory");
  take_smaller(limit, cgroup_memory_max(), "the cgroup's memory.max");
  rlimit as{};
  if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
    take_smaller(limit, static_cast<std::uint64_t>(as.rlim_cur), "the address-space limit");
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) {
    take_smaller(limit, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page),
                 "the machine's memory");
  }
  return limit;
}

bool fits_in_memory(std::uint64_t bytes, const MemoryLimit& limit, const std::string& what,
                    std::string* error) {
  if (limit.bytes == UINT64_MAX) return true;
  if (limit.bytes > kProgramMemory && bytes <= limit.bytes - kProgramMemory) return true;
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  *error = what + " needs " + std::to_string((bytes + kMiB - 1) / kMiB) + " MiB, more than the " +
           std::to_string(limit.bytes / kMiB) + " MiB of " + limit.what;
  return false;
}
