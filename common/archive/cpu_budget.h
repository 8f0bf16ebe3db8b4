// How many CPUs this process may keep busy at once: the CPUs its affinity mask allows
// (taskset), capped by the CPU quota of its cgroup and of every cgroup above it (cgroup v2's
// cpu.max, as systemd's CPUQuota= sets it; cgroup v1's cpu.cfs_quota_us where v1 is mounted).
// What cannot be read does not limit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace common::archive {

// At least 1.
unsigned usable_cpus();

// The CPUs a quota allows, rounded up: "150000 100000" (cpu.max) is 2; none for "max", for
// a quota of -1 (v1) or for anything unreadable.
std::optional<unsigned> quota_cpus(std::string_view quota, std::string_view period);
// The process's cgroup path in /proc/self/cgroup's text: the v2 entry ("0::/path") when
// `v2`, else that of the v1 hierarchy holding the cpu controller.
std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup, bool v2);

}  // namespace common::archive
