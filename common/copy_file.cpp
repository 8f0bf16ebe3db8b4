#include "common/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_io.h"
#include "common/process.h"

namespace common {

namespace {

// Falls back to read/write when the kernel cannot copy between these two files.
Result<> copy_with_read_write(int from, int to) {
  char buffer[128 * 1024];
  auto copied = read_chunks(from, buffer, UINT64_MAX,
                            [to](std::string_view chunk) { return write_all(to, chunk); });
  if (!copied) return std::unexpected(copied.error());
  return {};
}

Result<> copy_bytes(int from, int to) {
  bool copied_any = false;
  for (;;) {
    if (interrupted()) return interrupted_error();
    // 64 MiB a call: large enough to cost nothing, small enough that an interrupt is seen soon.
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 26, 0);
    if (n > 0) {
      copied_any = true;
      continue;
    }
    // Some file systems (procfs, sysfs) report nothing to copy kernel-side; read those.
    if (n == 0) return copied_any ? Result<>() : copy_with_read_write(from, to);
    const int error = errno;
    if (error == EINTR) continue;
    const bool refused = error == EXDEV || error == EINVAL || error == ENOSYS ||
                         error == EOPNOTSUPP || error == EPERM || error == EBADF;
    // Once bytes have moved, both offsets have advanced together: the fallback carries on.
    if (refused || copied_any) return copy_with_read_write(from, to);
    return os_error(error);
  }
}

}  // namespace

Result<> copy_file(const std::string& source, const std::string& destination) {
  // Opened without waiting: a FIFO without a writer must not hold the run up; it is refused
  // below.
  auto opened = open_for_reading(source);
  if (!opened) return std::unexpected(opened.error());
  const UniqueFd from = std::move(*opened);
  struct stat source_stat;
  if (::fstat(from.get(), &source_stat) != 0) return os_error(errno);
  if (!S_ISREG(source_stat.st_mode)) return fail(ErrorKind::kInvalidInput, kNotRegularFile);

  const mode_t permissions = source_stat.st_mode & 07777;
  UniqueFd to(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, permissions));
  if (!to.valid()) return os_error(errno);
  struct stat destination_stat;
  if (::fstat(to.get(), &destination_stat) != 0) return os_error(errno);
  if (auto copied = copy_bytes(from.get(), to.get()); !copied) return copied;
  // The umask must not change the copy's mode. Set after the data: the kernel clears setuid
  // and setgid on a write by an unprivileged process.
  if (S_ISREG(destination_stat.st_mode) && ::fchmod(to.get(), permissions) != 0) {
    return os_error(errno);
  }
  return to.close();
}

}  // namespace common
