#include "common/archive/archive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/path.h"

namespace common::archive {

namespace {

// O_NONBLOCK: a FIFO at the path fails (ENXIO) instead of waiting for a reader forever.
constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;
constexpr mode_t kNewFileMode = 0600;

bool trusted_owner(uid_t owner, const struct stat& parent) {
  return owner == ::geteuid() || owner == parent.st_uid;
}

Result<UniqueFd> open_fd(const std::string& path, int flags) {
  UniqueFd fd(::open(path.c_str(), flags, kNewFileMode));
  if (!fd.valid()) return os_error(errno);
  // Non-blocking only for the open: writes must wait, or a full pipe would lose data.
  const int status_flags = ::fcntl(fd.get(), F_GETFL);
  if (status_flags < 0 || ::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    return os_error(errno);
  }
  return fd;
}

// One attempt in a sticky, world-writable directory; EEXIST means the path changed under us.
Result<UniqueFd> open_in_sticky_dir(const std::string& path, const struct stat& parent,
                                    const std::function<void()>& before_create) {
  struct stat existing;
  if (::lstat(path.c_str(), &existing) != 0) {
    if (errno != ENOENT) return os_error(errno);
    if (before_create) before_create();
    return open_fd(path, kWriteFlags | O_CREAT | O_EXCL);
  }
  if (S_ISLNK(existing.st_mode)) {
    if (!trusted_owner(existing.st_uid, parent)) return os_error(EACCES);
    // A trusted link cannot be swapped by anyone else: the directory is sticky.
    return open_fd(path, kWriteFlags | O_CREAT | O_TRUNC);
  }
  const bool protected_kind = S_ISREG(existing.st_mode) || S_ISFIFO(existing.st_mode);
  if (protected_kind && !trusted_owner(existing.st_uid, parent)) return os_error(EACCES);
  // O_NOFOLLOW: a link swapped in since the look-up is refused (ELOOP), never followed.
  auto fd = open_fd(path, kWriteFlags | O_NOFOLLOW);
  if (!fd) return fd;
  struct stat opened;
  if (::fstat(fd->get(), &opened) != 0) return os_error(errno);
  if (opened.st_dev != existing.st_dev || opened.st_ino != existing.st_ino) {
    return os_error(EACCES);
  }
  if (S_ISREG(opened.st_mode) && ::ftruncate(fd->get(), 0) != 0) return os_error(errno);
  return fd;
}

}  // namespace

Result<UniqueFd> open_archive_file(const std::string& path,
                                   const std::function<void()>& before_create) {
  struct stat parent;
  const bool shared = ::stat(std::string(parent_dir(path)).c_str(), &parent) == 0 &&
                      (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0;
  if (!shared) return open_fd(path, kWriteFlags | O_CREAT | O_TRUNC);
  // Another user may create or remove names here between our steps: try a few times.
  for (int attempt = 0;; ++attempt) {
    auto fd = open_in_sticky_dir(path, parent, before_create);
    if (fd || fd.error().kind() != ErrorKind::kAlreadyExists || attempt == 3) return fd;
  }
}

}  // namespace common::archive
