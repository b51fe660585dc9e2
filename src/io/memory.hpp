// The memory the programs may take: what the system and the control group have available.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dofmap {

// The bytes available now: the lowest of the system's MemAvailable, the room left under the limits
// of the process's control groups (see controlGroupRoom) and the address space left under
// RLIMIT_AS; nullopt when none is known.
std::optional<std::int64_t> availableMemory();

// The least room left under the memory limits of the control groups the process lies in, and of
// every group above them: in cgroup v2, memory.max less memory.current; in v1 (the memory
// controller's hierarchy), memory.limit_in_bytes less memory.usage_in_bytes. `cgroups` is the text
// of /proc/self/cgroup, `mounts` that of /proc/self/mountinfo, which tell where each hierarchy is
// mounted; the groups' files are read under `root` (the file system's root but in tests). nullopt
// when no group sets a limit.
std::optional<std::int64_t> controlGroupRoom(const std::string& cgroups, const std::string& mounts,
                                             const std::string& root = "");

// A size such as "2G", "1.5G", "512M", "800k" or "1000000" (bytes), in powers of 1024; nullopt
// unless it is a positive number with at most one of the suffixes k, M, G, T (upper or lower case,
// optionally followed by "B" or "iB").
std::optional<std::int64_t> parseMemorySize(const std::string& text);

// A size in bytes for people: "512 MiB", "7.3 GiB".
std::string formatMemorySize(std::int64_t bytes);

}  // namespace dofmap
