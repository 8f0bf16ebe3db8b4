// Root's reserved disk space is not the run's. A file system keeps blocks that only root may
// use so that root can still repair it once it is full; a diagnostics run that took them would
// leave a host in trouble with no way out. While the run copies logs and writes the archive, it
// keeps the space that unprivileged users may still use (statvfs f_bavail) above a margin: 1 %
// of the file system or 64 MiB, whichever is smaller, and as many of its inodes (at most 65,536)
// for a farm of links to empty logs. Writers check before each file and each stretch of at
// most kMarginCheckInterval bytes, so a hole that expands into the archive, or a farm of links
// to one log, stops at the margin instead of at the last free block.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace common::access {

// The most a writer puts out between two checks.
inline constexpr std::uint64_t kMarginCheckInterval = 4 << 20;

// Whether `bytes` more may be written on a file system of `blocks` blocks of `block_size`
// bytes, of which `available` are free for unprivileged users. A file system that reports no
// size (blocks or block size 0: a pipe, some pseudo file systems) has no margin to keep.
bool leaves_disk_margin(std::uint64_t available, std::uint64_t block_size, std::uint64_t blocks,
                        std::uint64_t bytes);

// Whether `inodes` more files may be made on a file system of `files` inodes, of which
// `available` are free for unprivileged users: the same margin, 1 % or 65,536 inodes. A file
// system that counts none (0: btrfs) has none to keep.
bool leaves_inode_margin(std::uint64_t available, std::uint64_t files, std::uint64_t inodes);

// ENOSPC when writing `bytes` more, or making `inodes` more files, on the file system of the
// file or directory open as `fd` would cross its margin. Where fstatvfs cannot tell, the write
// itself reports what it meets.
Result<> check_disk_margin(int fd, std::uint64_t bytes, std::uint64_t inodes = 0);

}  // namespace common::access
