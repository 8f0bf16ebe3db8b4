#include "common/access/disk_margin.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace common::access {

namespace {

constexpr std::uint64_t kMaxMargin = 64 << 20;
constexpr std::uint64_t kMaxInodeMargin = 65536;

// a * b, or the largest value where that does not fit.
std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

}  // namespace

bool leaves_disk_margin(std::uint64_t available, std::uint64_t block_size, std::uint64_t blocks,
                        std::uint64_t bytes) {
  if (blocks == 0 || block_size == 0) return true;
  const std::uint64_t margin = std::min(kMaxMargin, saturating_product(blocks, block_size) / 100);
  const std::uint64_t free = saturating_product(available, block_size);
  return free >= bytes && free - bytes >= margin;
}

bool leaves_inode_margin(std::uint64_t available, std::uint64_t files, std::uint64_t inodes) {
  if (files == 0) return true;
  const std::uint64_t margin = std::min(kMaxInodeMargin, files / 100);
  return available >= inodes && available - inodes >= margin;
}

Result<> check_disk_margin(int fd, std::uint64_t bytes, std::uint64_t inodes) {
  struct statvfs fs;
  if (::fstatvfs(fd, &fs) != 0) return {};
  if (!leaves_disk_margin(fs.f_bavail, fs.f_frsize, fs.f_blocks, bytes) ||
      !leaves_inode_margin(fs.f_favail, fs.f_files, inodes)) {
    return os_error(ENOSPC);
  }
  return {};
}

}  // namespace common::access
