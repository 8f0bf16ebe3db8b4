#include "common/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "common/file_io.h"
#include "common/process.h"

namespace common {

namespace {

// Copies up to `limit` bytes from where `from` stands to where `to` stands, both offsets
// advancing. Yields how many were copied: fewer than `limit` only where the source ended.
Result<std::uint64_t> copy_range(int from, int to, std::uint64_t limit) {
  std::uint64_t copied = 0;
  while (copied < limit) {
    if (interrupted()) return interrupted_error();
    // 64 MiB a call: large enough to cost nothing, small enough that an interrupt is seen soon.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - copied, 1 << 26));
    const ssize_t n = detail::copy_file_range_call(from, nullptr, to, nullptr, want, 0);
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) {
      if (copied > 0) return copied;
      // Some file systems (procfs, sysfs) report nothing to copy kernel-side; read those.
      break;
    }
    const int error = errno;
    if (error == EINTR) continue;
    const bool refused = error == EXDEV || error == EINVAL || error == ENOSYS ||
                         error == EOPNOTSUPP || error == EPERM || error == EBADF;
    // Once bytes have moved, both offsets have advanced together: the fallback carries on.
    if (!refused && copied == 0) return os_error(error);
    break;
  }
  if (copied == limit) return copied;
  char buffer[128 * 1024];
  auto read = read_chunks(from, buffer, limit - copied,
                          [to](std::string_view chunk) { return write_all(to, chunk); });
  if (!read) return std::unexpected(read.error());
  return copied + *read;
}

// Copies the data regions among the first `size` bytes of `from` to the same offsets of `to`,
// seeking past the holes. Yields the size the copy must have: `size`, or where the source ends
// now if it has shrunk meanwhile.
Result<std::uint64_t> copy_regions(int from, int to, std::uint64_t size) {
  std::uint64_t offset = 0;
  while (offset < size) {
    const auto region = next_data_region(from, offset, size);
    if (!region) return std::unexpected(region.error());
    const auto [start, end] = *region;
    if (start == end) return end;
    if (::lseek(from, static_cast<off_t>(start), SEEK_SET) < 0 ||
        ::lseek(to, static_cast<off_t>(start), SEEK_SET) < 0) {
      return os_error(errno);
    }
    auto copied = copy_range(from, to, end - start);
    if (!copied) return std::unexpected(copied.error());
    if (*copied < end - start) return start + *copied;
    offset = end;
  }
  return size;
}

// Copies the file as it stood when opened (`size` from fstat), keeping its holes.
Result<> copy_bytes(int from, int to, bool to_regular, std::uint64_t size) {
  // A size of 0 may be a file whose size the kernel does not know (procfs): read to its end,
  // but no further than a whole-file read goes, or a log emptied just before it was opened and
  // written to without end since (or a link to /proc/self/pagemap) would fill the disk.
  if (size == 0 || !to_regular) {
    auto copied = copy_range(from, to, size == 0 ? kWholeFileLimit : size);
    if (!copied) return std::unexpected(copied.error());
    return {};
  }
  auto end = copy_regions(from, to, size);
  if (!end) return std::unexpected(end.error());
  // A hole at the end is no write: the size makes it.
  if (::ftruncate(to, static_cast<off_t>(*end)) != 0) return os_error(errno);
  return {};
}

}  // namespace

Result<> copy_file(const std::string& source, int destination_dir,
                   const std::string& destination_name) {
  auto from = Resolver().file(source);
  if (!from) return std::unexpected(from.error());
  return copy_open_file(*from, destination_dir, destination_name);
}

Result<> copy_open_file(const Opened& from, int destination_dir,
                        const std::string& destination_name) {
  const mode_t permissions = from.st.st_mode & 07777 & ~(S_ISUID | S_ISGID);
  UniqueFd to(::openat(destination_dir, destination_name.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, permissions));
  if (!to.valid()) return os_error(errno);
  struct stat destination_stat;
  if (::fstat(to.get(), &destination_stat) != 0) return os_error(errno);
  const bool to_regular = S_ISREG(destination_stat.st_mode);
  if (auto copied = copy_bytes(from.fd.get(), to.get(), to_regular,
                               static_cast<std::uint64_t>(from.st.st_size));
      !copied) {
    return copied;
  }
  // The umask must not change the copy's mode.
  if (to_regular && ::fchmod(to.get(), permissions) != 0) return os_error(errno);
  return to.close();
}

}  // namespace common
