#include "common/output_dir.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/access/file_systems.h"
#include "common/path.h"
#include "common/test_seam.h"
#include "common/utf8.h"

namespace common {

namespace {
constexpr mode_t kMode = 0700;
}  // namespace

OutputPathError OutputPathError::already_exists(std::string path) {
  return OutputPathError(Variant::AlreadyExists, std::move(path), "");
}

OutputPathError OutputPathError::create_failed(std::string path, Error error) {
  return OutputPathError(Variant::CreateFailed, std::move(path), error.text());
}

OutputPathError OutputPathError::conversion() {
  return OutputPathError(Variant::Conversion, "", "");
}

std::string OutputPathError::display() const {
  switch (variant_) {
    case Variant::AlreadyExists:
      return "Output directory " + to_utf8_lossy(path_) + " already exists.";
    case Variant::CreateFailed:
      return "Failed to create output directory " + to_utf8_lossy(path_) +
             " due to: " + error_text_ + ".";
    case Variant::Conversion:
      break;
  }
  return "Failed to create output directory due to conversion issues.";
}

std::string temp_dir() {
  const char* value = std::getenv("TMPDIR");
  return value != nullptr ? value : "/tmp";
}

namespace {

// The umask, which only umask(2) itself reads; the run is single-threaded.
mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

Result<> refuse_unless_empty(int dir_fd) {
  UniqueFd listing_fd(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing_fd.valid()) return os_error(errno);
  auto listing = DirStream::adopt(std::move(listing_fd));
  if (!listing) return std::unexpected(listing.error());
  auto entry = listing->next();
  if (!entry) return std::unexpected(entry.error());
  if (*entry != nullptr) return refuse(kNotMadeByThisRun);
  return {};
}

// Opens what is at `name` in `parent` now that it has been made there, and accepts only what
// mkdir made: a directory (not a link) of the running user with the mode asked for, no
// subdirectory (some file systems, btrfs, count no links for them at all) and no entry. In a
// setgid parent, mkdir also gives it the setgid bit and the parent's group: that is accepted,
// and the bit cleared at once, so that nothing the run makes in it takes that group.
Result<UniqueFd> open_made(int parent, const std::string& name) {
  UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    const int error = errno;
    if (error == ELOOP || error == ENOTDIR) return refuse(kNotMadeByThisRun);
    return os_error(error);
  }
  struct stat made;
  struct stat in;
  if (::fstat(fd.get(), &made) != 0 || !access::stat_held(parent, in)) return os_error(errno);
  const mode_t inherited = in.st_mode & S_ISGID;
  if (made.st_uid != ::geteuid() ||
      (made.st_mode & 07777) != ((kMode & ~current_umask()) | inherited) ||
      (inherited != 0 && made.st_gid != in.st_gid) || made.st_nlink > 2) {
    return refuse(kNotMadeByThisRun);
  }
  if (auto empty = refuse_unless_empty(fd.get()); !empty) return std::unexpected(empty.error());
  if (inherited != 0 && ::fchmod(fd.get(), made.st_mode & 0777) != 0) return os_error(errno);
  return fd;
}

// Removes the directory this run made at `name`, while it is still empty and the running
// user's: left there, it would stop every later run with "already exists". Whatever else is
// there now (a directory swapped in that holds something, another account's) stays.
void remove_made(int parent, const std::string& name) {
  struct stat st;
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid()) {
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
  }
}

}  // namespace

std::expected<OutputDir, OutputPathError> create_output_dir_in(std::string_view temp_dir,
                                                               std::string_view data_dir_name) {
  std::string path = join_path(temp_dir, data_dir_name);
  const auto failed = [&path](Error error) {
    return std::unexpected(OutputPathError::create_failed(std::move(path), std::move(error)));
  };
  // A path the kernel would refuse whole is refused with its answer, whatever the walk over
  // its components would meet first.
  if (path.size() >= PATH_MAX) return failed(Error::from_errno(ENAMETOOLONG));
  access::Walk way;
  auto parent = way.directory(temp_dir.empty() ? "." : temp_dir, false);
  if (!parent) return failed(parent.error());
  if (auto writable = access::refuse_unless_choosers_write(way, *parent); !writable) {
    return failed(writable.error());
  }
  const bool shared = access::is_shared_directory(way, *parent);
  const std::string name(data_dir_name);
  // Something there already exists; a link only where what it leads to does. Another account's
  // link is not followed with root's rights: it exists.
  struct stat existing;
  if (::fstatat(parent->fd.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      (!S_ISLNK(existing.st_mode) || !access::is_trusted(existing.st_uid) ||
       ::fstatat(parent->fd.get(), name.c_str(), &existing, 0) == 0)) {
    return std::unexpected(OutputPathError::already_exists(std::move(path)));
  }
  // Like every file the run makes, it must leave root's reserve alone.
  if (auto room = access::check_disk_margin(parent->fd.get(), 0, 1); !room) {
    return failed(room.error());
  }
  // Owner-only: the directory gathers configuration and logs, which may hold credentials,
  // in a shared place such as /tmp.
  if (::mkdirat(parent->fd.get(), name.c_str(), kMode) != 0) {
    return failed(Error::from_errno(errno));
  }
  test_seam("output-dir");
  auto fd = open_made(parent->fd.get(), name);
  if (!fd) {
    remove_made(parent->fd.get(), name);
    return failed(fd.error());
  }
  if (validate_utf8(path)) {
    remove_made(parent->fd.get(), name);
    return std::unexpected(OutputPathError::conversion());
  }
  return OutputDir(std::move(path), std::move(*fd), std::move(parent->fd), shared);
}

std::expected<OutputDir, OutputPathError> create_output_dir(std::string_view data_dir_name) {
  return create_output_dir_in(temp_dir(), data_dir_name);
}

}  // namespace common
