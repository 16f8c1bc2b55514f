// The most memory a run may take: the smallest of the user's --max-memory, the cgroup's
// memory.max (a Slurm or container limit, which kills rather than refuses), the address-space
// limit (RLIMIT_AS) and the machine's memory. Checked before a large buffer is allocated, so a
// run too large is told, not killed or left swapping.
#pragma once

#include <cstdint>
#include <string>

struct MemoryLimit {
  std::uint64_t bytes = UINT64_MAX;  // UINT64_MAX: no limit found
  std::string what;                  // "--max-memory", "the cgroup's memory.max", ...
};

// The smallest limit in force; `max_memory` 0 is no --max-memory.
MemoryLimit memory_limit(std::uint64_t max_memory);

// Memory the program takes besides its buffers (code, libraries, stacks, the C library's
// arenas), kept free under the limit.
inline constexpr std::uint64_t kProgramMemory = std::uint64_t{64} << 20;

// Whether `bytes` more fit under `limit` beside kProgramMemory. False with `error` "<what> needs
// N MiB, more than the M MiB of <limit>".
bool fits_in_memory(std::uint64_t bytes, const MemoryLimit& limit, const std::string& what,
                    std::string* error);
