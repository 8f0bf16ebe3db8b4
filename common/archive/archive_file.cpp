#include "common/archive/archive_file.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>

#include "common/path.h"
#include "common/source_file.h"
#include "common/test_seam.h"

namespace common::archive {

namespace {

// O_NONBLOCK: a FIFO at the path fails (ENXIO) instead of waiting for a reader forever;
// O_NOCTTY: a terminal there never becomes the run's.
constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr mode_t kNewFileMode = 0600;

// Takes a file opened where something was already there: it must pass the rule itself (a
// link's target too), a regular file is emptied, and writes must wait, or a full pipe would
// lose data.
Result<UniqueFd> take_existing(UniqueFd fd) {
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) return os_error(errno);
  if (judge_archive_path(opened, ::geteuid()) != ArchivePathVerdict::kTruncate) {
    return os_error(EACCES);
  }
  if (S_ISREG(opened.st_mode) && ::ftruncate(fd.get(), 0) != 0) return os_error(errno);
  const int status_flags = ::fcntl(fd.get(), F_GETFL);
  if (status_flags < 0 || ::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    return os_error(errno);
  }
  return fd;
}

// What the link open as `link_fd` (O_PATH) leads to, as a path: a relative target is taken
// from the link's own directory.
Result<std::string> link_target(int link_fd, const std::string& path) {
  char target[PATH_MAX];
  const ssize_t size = ::readlinkat(link_fd, "", target, sizeof target);
  if (size < 0) return os_error(errno);
  if (static_cast<std::size_t>(size) == sizeof target) return os_error(ENAMETOOLONG);
  return join_path(parent_dir(path), std::string_view(target, static_cast<std::size_t>(size)));
}

// Opens what is at the path under the rule; nothing when it is gone again.
Result<std::optional<UniqueFd>> open_existing(const std::string& path) {
  const UniqueFd entry(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!entry.valid() || ::fstat(entry.get(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return os_error(errno);
  }
  UniqueFd fd;
  const ArchivePathVerdict verdict = judge_archive_path(st, ::geteuid());
  test_seam("archive-path");
  switch (verdict) {
    case ArchivePathVerdict::kRefuse:
      return os_error(EACCES);
    case ArchivePathVerdict::kTruncate:
      // O_NOFOLLOW: a link swapped in since the look-up is refused (ELOOP), never followed.
      fd = UniqueFd(::open(path.c_str(), kWriteFlags | O_NOFOLLOW));
      if (!fd.valid() && errno == ENOENT) return std::nullopt;
      break;
    case ArchivePathVerdict::kFollow: {
      // The target of exactly the link judged, whatever is at the path by now. The way to it
      // must be the run's own too: no link on it of another account, no directory on it that
      // another may change; and the target is no further link.
      auto target = link_target(entry.get(), path);
      if (!target) return std::unexpected(target.error());
      Resolver way;
      auto dir = way.directory(parent_dir(*target), false);
      if (!dir) return std::unexpected(dir.error());
      if (!way.may_change().empty()) return os_error(EACCES);
      fd = UniqueFd(::openat(dir->fd.get(), std::string(base_name(*target)).c_str(),
                             kWriteFlags | O_CREAT | O_NOFOLLOW, kNewFileMode));
      break;
    }
  }
  if (!fd.valid()) return os_error(errno);
  auto taken = take_existing(std::move(fd));
  if (!taken) return std::unexpected(taken.error());
  return std::move(*taken);
}

}  // namespace

ArchivePathVerdict judge_archive_path(const struct stat& existing, uid_t user) {
  if (existing.st_uid != user && existing.st_uid != 0) return ArchivePathVerdict::kRefuse;
  // A second name means another account may have linked someone else's file (or link, or
  // device) here where fs.protected_hardlinks is off, or will read the archive through it.
  if (!S_ISDIR(existing.st_mode) && existing.st_nlink != 1) return ArchivePathVerdict::kRefuse;
  if (S_ISLNK(existing.st_mode)) return ArchivePathVerdict::kFollow;
  return ArchivePathVerdict::kTruncate;
}

Result<ArchiveFile> open_archive_file(std::string path,
                                      const std::function<void()>& before_create) {
  // Another account may create and remove names here between our steps: try a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (before_create) before_create();
    // The usual case: nothing there. A new regular file needs no O_NONBLOCK.
    UniqueFd created(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
    if (created.valid()) return ArchiveFile{std::move(path), std::move(created)};
    if (errno != EEXIST) return os_error(errno);
    auto existing = open_existing(path);
    if (!existing) return std::unexpected(existing.error());
    if (*existing) return ArchiveFile{std::move(path), std::move(**existing)};
  }
  return os_error(EEXIST);
}

// Hosts in trouble are often reset right after a collection, which must not leave the archive
// empty or cut. Only a regular file is flushed (a trusted link may lead to a device); EINVAL is
// a file system that has nothing to flush. A directory we may not read cannot be flushed: the
// run would otherwise fail in a drop-box TMPDIR it can still write in.
Result<> ArchiveFile::flush() const {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return {};
  if (::fdatasync(fd.get()) != 0 && errno != EINVAL) return os_error(errno);
  // The entry to flush is the file's own: a trusted link at the path may lead to another
  // directory.
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  const std::string dir_path(parent_dir(real ? std::string_view(real.get()) : path));
  UniqueFd dir(::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return errno == EACCES ? Result<>() : os_error(errno);
  if (::fsync(dir.get()) != 0 && errno != EINVAL) return os_error(errno);
  return {};
}

void ArchiveFile::discard() const {
  struct stat opened;
  struct stat named;
  if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
  const bool same = ::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
                    named.st_ino == opened.st_ino;
  if (same && ::unlink(path.c_str()) == 0) return;
  [[maybe_unused]] const auto ignored = ::ftruncate(fd.get(), 0);
}

}  // namespace common::archive
