#include "common/archive/cpu_budget.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "common/file_io.h"

namespace common::archive {

namespace {

// A few short lines at most (cgroup v1 lists each hierarchy).
constexpr std::size_t kReadLimit = 64 * 1024;

std::optional<std::string> read_small(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  auto text = read_prefix(fd.get(), kReadLimit);
  if (!text) return std::nullopt;
  return std::move(*text);
}

std::optional<std::int64_t> number(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::int64_t value;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

unsigned affinity_cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  // More CPUs than a cpu_set_t holds: the mask's own size is not worth finding out.
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

// The smallest quota of the cgroup at `path` and of those above it, under `root`.
std::optional<unsigned> smallest_quota(const std::string& root, std::string path, bool v2) {
  std::optional<unsigned> smallest;
  for (;;) {
    const std::string dir = root + path;
    std::optional<unsigned> cpus;
    if (v2) {
      if (const auto max = read_small(dir + "/cpu.max")) {
        const std::string_view text(*max);
        const auto space = text.find(' ');
        if (space != std::string_view::npos) {
          cpus = quota_cpus(text.substr(0, space), text.substr(space + 1));
        }
      }
    } else {
      const auto quota = read_small(dir + "/cpu.cfs_quota_us");
      const auto period = read_small(dir + "/cpu.cfs_period_us");
      if (quota && period) cpus = quota_cpus(*quota, *period);
    }
    if (cpus && (!smallest || *cpus < *smallest)) smallest = cpus;
    if (path.empty() || path == "/") return smallest;
    path.resize(path.rfind('/'));
  }
}

}  // namespace

std::optional<unsigned> quota_cpus(std::string_view quota, std::string_view period) {
  const auto q = number(quota);
  const auto p = number(period);
  if (!q || !p || *q <= 0 || *p <= 0) return std::nullopt;
  const std::int64_t cpus = (*q + *p - 1) / *p;
  return static_cast<unsigned>(std::min<std::int64_t>(cpus, 1 << 20));
}

std::optional<std::string> cgroup_path(std::string_view text, bool v2) {
  while (!text.empty()) {
    const auto end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    // hierarchy-ID:controllers:path
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    bool match = v2 && id == "0" && controllers.empty();
    for (std::string_view rest = controllers; !v2 && !rest.empty();) {
      const auto comma = std::min(rest.find(','), rest.size());
      match = match || rest.substr(0, comma) == "cpu";
      rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    if (!match) continue;
    // Outside the cgroup namespace's root ("/../x"): not a path under /sys/fs/cgroup.
    if (!path.starts_with('/') || path.find("/..") != std::string_view::npos) return std::nullopt;
    return std::string(path);
  }
  return std::nullopt;
}

unsigned usable_cpus() {
  unsigned cpus = affinity_cpus();
  const auto cgroups = read_small("/proc/self/cgroup");
  if (!cgroups) return cpus;
  std::optional<unsigned> quota;
  if (const auto path = cgroup_path(*cgroups, true)) {
    quota = smallest_quota("/sys/fs/cgroup", *path, true);
  }
  if (const auto path = cgroup_path(*cgroups, false)) {
    const auto v1 = smallest_quota("/sys/fs/cgroup/cpu", *path, false);
    if (v1 && (!quota || *v1 < *quota)) quota = v1;
  }
  return quota ? std::max(1u, std::min(cpus, *quota)) : cpus;
}

}  // namespace common::archive
