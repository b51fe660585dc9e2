// The memory the programs may take: what the system and the control group have available.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dofmap {

// The bytes available now: the lowest of the system's MemAvailable, the room left under the control
// group's limit (v2 memory.max less memory.current, or v1 memory.limit_in_bytes less
// memory.usage_in_bytes) and the address space left under RLIMIT_AS; nullopt when none is known.
std::optional<std::int64_t> availableMemory();

// A size such as "2G", "1.5G", "512M", "800k" or "1000000" (bytes), in powers of 1024; nullopt
// unless it is a positive number with at most one of the suffixes k, M, G, T (upper or lower case,
// optionally followed by "B" or "iB").
std::optional<std::int64_t> parseMemorySize(const std::string& text);

// A size in bytes for people: "512 MiB", "7.3 GiB".
std::string formatMemorySize(std::int64_t bytes);

}  // namespace dofmap
