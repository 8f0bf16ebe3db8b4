// Root's reserved disk space is not the run's. A file system keeps blocks that only root may
// use so that root can still repair it once it is full; a diagnostics run that took them would
// leave a host in trouble with no way out. While the run copies logs and writes the archive, it
// keeps the space that unprivileged users may still use (statvfs f_bavail) above a margin: 1 %
// of the file system or 64 MiB, whichever is smaller. Writers check before each stretch of at
// most kMarginCheckInterval bytes, so a hole that expands into the archive, or a farm of links
// to one log, stops at the margin instead of at the last free block.
#pragma once

#include <cstdint>

#include "common/error.h"

namespace common {

// The most a writer puts out between two checks.
inline constexpr std::uint64_t kMarginCheckInterval = 4 << 20;

// Whether `bytes` more may be written on a file system of `blocks` blocks of `block_size`
// bytes, of which `available` are free for unprivileged users. A file system that reports no
// size (blocks or block size 0: a pipe, some pseudo file systems) has no margin to keep.
bool leaves_disk_margin(std::uint64_t available, std::uint64_t block_size, std::uint64_t blocks,
                        std::uint64_t bytes);

// ENOSPC when writing `bytes` more to the file open as `fd` would cross the margin of its file
// system. Where fstatvfs cannot tell, the write itself reports what it meets.
Result<> check_disk_margin(int fd, std::uint64_t bytes);

}  // namespace common
