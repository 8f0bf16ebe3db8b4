#include "common/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "common/access/disk_margin.h"
#include "common/file_io.h"
#include "common/process.h"

namespace common {

namespace {

// Moves up to `want` bytes kernel-side, from where `from` stands to where `to` stands. Nothing
// (nullopt) where read/write must do it: the kernel refuses these files, or it reports nothing
// to copy before any byte of the range moved (procfs and sysfs do). `started`: bytes of the
// range have moved, and both offsets with them, so any failure leaves the rest to read/write.
Result<std::optional<std::uint64_t>> kernel_copy(int from, int to, std::size_t want, bool started) {
  for (;;) {
    const ssize_t n = detail::copy_file_range_call(from, nullptr, to, nullptr, want, 0);
    if (n > 0) return static_cast<std::uint64_t>(n);
    if (n == 0) return started ? std::optional<std::uint64_t>(0) : std::nullopt;
    const int error = errno;
    if (error == EINTR) {
      if (interrupted()) return interrupted_error();
      continue;
    }
    const bool refused = error == EXDEV || error == EINVAL || error == ENOSYS ||
                         error == EOPNOTSUPP || error == EPERM || error == EBADF;
    if (!refused && !started) return os_error(error);
    return std::nullopt;
  }
}

// Copies up to `limit` bytes from where `from` stands to where `to` stands, both offsets
// advancing, in stretches of at most kMarginCheckInterval with the disk margin checked before
// each. Yields how many were copied: fewer than `limit` only where the source ended.
Result<std::uint64_t> copy_range(int from, int to, std::uint64_t limit) {
  std::uint64_t copied = 0;
  bool kernel = true;
  while (copied < limit) {
    if (interrupted()) return interrupted_error();
    const auto want =
        static_cast<std::size_t>(std::min(limit - copied, access::kMarginCheckInterval));
    if (auto room = access::check_disk_margin(to, want); !room)
      return std::unexpected(room.error());
    if (kernel) {
      auto moved = kernel_copy(from, to, want, copied > 0);
      if (!moved) return std::unexpected(moved.error());
      if (!*moved) {
        kernel = false;
        continue;
      }
      if (**moved == 0) break;
      copied += **moved;
      continue;
    }
    char buffer[128 * 1024];
    auto read = read_chunks(from, buffer, want,
                            [to](std::string_view chunk) { return write_all(to, chunk); });
    if (!read) return std::unexpected(read.error());
    copied += *read;
    if (*read < want) break;
  }
  return copied;
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
Result<> copy_bytes(int from, int to, std::uint64_t size) {
  // A size of 0 may be a file whose size the kernel does not know (procfs): read to its end,
  // but no further than a whole-file read goes, or a log emptied just before it was opened and
  // written to without end since (or a link to /proc/self/pagemap) would fill the disk.
  if (size == 0) {
    auto copied = copy_range(from, to, kWholeFileLimit);
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
  auto from = access::Walk().file(source);
  if (!from) return std::unexpected(from.error());
  return copy_open_file(*from, destination_dir, destination_name);
}

Result<> copy_open_file(const access::Opened& from, int destination_dir,
                        const std::string& destination_name) {
  const mode_t permissions = from.st.st_mode & 07777 & ~(S_ISUID | S_ISGID);
  // A farm of links to an empty log must not take the last inodes either.
  if (auto room = access::check_disk_margin(destination_dir, 0, 1); !room) return room;
  // Created anew: a name already taken (another stage's file, or anything planted) is EEXIST,
  // never written through.
  UniqueFd to(::openat(destination_dir, destination_name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions));
  if (!to.valid()) return os_error(errno);
  if (auto copied =
          copy_bytes(from.fd.get(), to.get(), static_cast<std::uint64_t>(from.st.st_size));
      !copied) {
    return copied;
  }
  // The umask must not change the copy's mode.
  if (::fchmod(to.get(), permissions) != 0) return os_error(errno);
  return to.close();
}

Result<> write_file(int dir_fd, const std::string& name, std::string_view data) {
  if (auto room = access::check_disk_margin(dir_fd, data.size(), 1); !room) return room;
  UniqueFd fd(
      ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd.valid()) return os_error(errno);
  if (auto written = write_all(fd.get(), data); !written) return written;
  return fd.close();
}

}  // namespace common
