// How many processors this process may actually use: the size of its CPU-affinity set,
// lowered to the cgroup CPU quota where one is set (containers commonly grant a
// fraction of a large machine through a quota alone, leaving the affinity set whole).
//
// `root` prefixes every file path so tests can point the reader at a fake tree;
// "" reads the real /proc and /sys.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quarnel {

// At least 1.
std::size_t processor_count(const std::string& root = "");

// The CPU quota of this process's cgroup in whole processors, rounded up (at least 1),
// or nullopt when no quota applies or none can be read. The v1 `cpu` controller is
// preferred when it is mounted (hybrid hosts keep the controller there, not in the
// unified tree); otherwise the v2 unified hierarchy is used.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root = "");

}  // namespace quarnel
