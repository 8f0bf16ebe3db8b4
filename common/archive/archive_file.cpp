#include "common/archive/archive_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <optional>

#include "common/access/access.h"
#include "common/access/file_systems.h"
#include "common/path.h"
#include "common/process.h"
#include "common/test_seam.h"

namespace common::archive {

namespace {

// O_NONBLOCK: a FIFO at the path fails (ENXIO) instead of waiting for a reader forever;
// O_NOCTTY: a terminal there never becomes the run's.
constexpr int kWriteFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// A new regular file needs neither.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kNewFileMode = 0600;
// Another account may create and remove names here between our steps: try a few times.
constexpr int kAttempts = 4;

std::unexpected<Error> held_by(uid_t owner) {
  return refuse(std::string(kHeldByAnotherAccount) + " (uid " + std::to_string(owner) + ")");
}

// Why the entry or file `st` is refused: it is another account's, or it has another hard link.
// A refusal by the rules, in the words a refused open would have.
std::unexpected<Error> denied() {
  return std::unexpected(Error::from_errno(EACCES, ErrorKind::kRefused));
}

std::unexpected<Error> refusal(const struct stat& st) {
  return access::is_trusted(st.st_uid) ? denied() : held_by(st.st_uid);
}

// Takes a file opened where something was already there: it must pass the rule itself (a
// link's target too), a regular file is emptied, and writes must wait, or a full pipe would
// lose data.
Result<UniqueFd> take_existing(UniqueFd fd) {
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) return os_error(errno);
  if (judge_archive_path(opened, ::geteuid()) != ArchivePathVerdict::kTruncate) {
    return refusal(opened);
  }
  // Owner-only as a new archive is, whatever the old file's mode: set before the file is
  // emptied, so that one whose mode may not be changed is refused as it was.
  if (S_ISREG(opened.st_mode) &&
      (::fchmod(fd.get(), kNewFileMode) != 0 || ::ftruncate(fd.get(), 0) != 0)) {
    return os_error(errno);
  }
  const int status_flags = ::fcntl(fd.get(), F_GETFL);
  if (status_flags < 0 || ::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    return os_error(errno);
  }
  return fd;
}

// What the link open as `link_fd` (O_PATH) leads to, as an absolute path: a relative target is
// taken from the link's own directory, that of `path`.
Result<std::string> link_target(int link_fd, const std::string& path) {
  auto target = read_link(link_fd);
  if (!target) return std::unexpected(target.error());
  std::string from(parent_dir(path));
  if (!from.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return os_error(errno);
    from = join_path(cwd, from);
  }
  return join_path(from, *target);
}

Result<ArchiveFile> open_new(int dir, const std::string& name, std::string path);

// Removes the old archive `name` of `dir`, a regular file of the run's judged as `judged`,
// while it is still that file: it is replaced, never written through, so that nobody who
// opened it while it was readable reads the new archive through that descriptor. Only the run
// may change `dir`, and the space the old one took is free again before the new one is made.
Result<> remove_old(int dir, const std::string& name, const struct stat& judged) {
  struct stat now;
  if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Result<>() : os_error(errno);
  }
  // Swapped since it was judged: refused as a write through it would have been.
  if (!same_inode(now, judged)) return S_ISLNK(now.st_mode) ? os_error(ELOOP) : refusal(now);
  if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return os_error(errno);
  return {};
}

// Opens the target of exactly the link judged, whatever is at the path by now. The way to the
// target's directory must be the run's own (walk.h): no link on it of another account, no
// directory on it that another may change. Where another may change that directory itself,
// the target is as in a shared directory: a new file renamed over its name. Elsewhere the
// target is opened where it is, and is no further link: a chain of the run's links could
// otherwise end in another account's.
Result<ArchiveFile> open_link_target(int link_fd, const std::string& path) {
  auto target = link_target(link_fd, path);
  if (!target) return std::unexpected(target.error());
  auto way = access::Walk().end(*target, false);
  if (!way) return std::unexpected(way.error());
  // No one account need hold such a way (a directory everyone may write): a plain refusal.
  if (way->changer) return denied();
  // A target that ends in "/" names a directory: no file is made there, as the kernel has it.
  if (way->as_directory) return os_error(EISDIR);
  access::Changers dir_writers;
  dir_writers.add(way->dir_writers);
  if (access::untrusted(dir_writers)) return open_new(way->dir.fd.get(), way->name, path);
  // A target made here is the run's, under its name there; one already there is judged.
  const int dir = way->dir.fd.get();
  UniqueFd made(::openat(dir, way->name.c_str(), kCreateFlags, kNewFileMode));
  if (made.valid()) {
    return ArchiveFile{path, std::move(made), std::move(way->dir.fd), way->name, ""};
  }
  if (errno != EEXIST) return os_error(errno);
  struct stat old;
  if (::fstatat(dir, way->name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
      judge_archive_path(old, ::geteuid()) == ArchivePathVerdict::kTruncate) {
    if (auto removed = remove_old(dir, way->name, old); !removed) {
      return std::unexpected(removed.error());
    }
    made = UniqueFd(::openat(dir, way->name.c_str(), kCreateFlags, kNewFileMode));
    if (!made.valid()) return os_error(errno);
    return ArchiveFile{path, std::move(made), std::move(way->dir.fd), way->name, ""};
  }
  UniqueFd fd(::openat(dir, way->name.c_str(), kWriteFlags | O_NOFOLLOW));
  if (!fd.valid()) return os_error(errno);
  return ArchiveFile{path, std::move(fd), std::move(way->dir.fd), "", ""};
}

// Opens what is at `name` under the rule; nothing when it is gone again.
Result<std::optional<ArchiveFile>> open_existing(int dir, const std::string& name,
                                                 const std::string& path) {
  const UniqueFd entry(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!entry.valid() || !access::stat_held(entry.get(), st)) {
    if (errno == ENOENT) return std::nullopt;
    return os_error(errno);
  }
  const ArchivePathVerdict verdict = judge_archive_path(st, ::geteuid());
  test_seam("archive-path");
  Result<ArchiveFile> file = refusal(st);
  if (verdict == ArchivePathVerdict::kFollow) file = open_link_target(entry.get(), path);
  if (verdict == ArchivePathVerdict::kTruncate && S_ISREG(st.st_mode)) {
    if (auto removed = remove_old(dir, name, st); !removed) return std::unexpected(removed.error());
    return std::nullopt;  // made anew by the caller
  }
  if (verdict == ArchivePathVerdict::kTruncate) {
    // O_NOFOLLOW: a link swapped in since the look-up is refused (ELOOP), never followed.
    UniqueFd fd(::openat(dir, name.c_str(), kWriteFlags | O_NOFOLLOW));
    if (!fd.valid()) {
      if (errno == ENOENT) return std::nullopt;
      return os_error(errno);
    }
    auto held = duplicate_fd(dir);
    if (!held) return std::unexpected(held.error());
    file = ArchiveFile{path, std::move(fd), std::move(*held), name, ""};
  }
  if (!file) return std::unexpected(file.error());
  // A file the run has just made behind the link is its own: nothing to judge or empty.
  if (verdict == ArchivePathVerdict::kFollow &&
      (!file->entry.empty() || !file->rename_to.empty())) {
    return std::move(*file);
  }
  auto taken = take_existing(std::move(file->fd));
  if (!taken) return std::unexpected(taken.error());
  file->fd = std::move(*taken);
  return std::move(*file);
}

Result<ArchiveFile> open_in_place(int dir, const std::string& name, std::string path,
                                  const std::function<void()>& before_create) {
  if (auto room = access::check_disk_margin(dir, 0, 1); !room) return std::unexpected(room.error());
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (before_create) before_create();
    // Before the file is made, so that no failure leaves an empty one behind.
    auto held = duplicate_fd(dir);
    if (!held) return std::unexpected(held.error());
    // The usual case: nothing there. A new regular file needs no O_NONBLOCK.
    UniqueFd created(
        ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
    if (created.valid()) {
      return ArchiveFile{std::move(path), std::move(created), std::move(*held), name, ""};
    }
    if (errno != EEXIST) return os_error(errno);
    auto existing = open_existing(dir, name, path);
    if (!existing) return std::unexpected(existing.error());
    if (*existing) return std::move(**existing);
  }
  return os_error(EEXIST);
}

// Whether the new file may be renamed over what is at `name` in a shared directory: it is
// never written through, so only whose it is matters, and whether a rename can replace it.
// Yields whether anything is there.
Result<bool> judge_replaced(int dir, const std::string& name) {
  struct stat st;
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return false;
    return os_error(errno);
  }
  if (!access::is_trusted(st.st_uid)) return held_by(st.st_uid);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  return true;
}

// Renames `from` over `to` in `dir`, once what is at `to` passes judge_replaced. Where nothing
// was there, nothing may have appeared meanwhile either (RENAME_NOREPLACE): another account's
// entry made in that moment is judged in turn, never replaced unseen. Kernels before 3.15 and
// file systems without the flag rename plainly.
Result<> rename_over(int dir, const std::string& from, const std::string& to,
                     const struct stat& file) {
  // Whoever may write the directory may also move the new file away and put another under its
  // name: only the file written is renamed, and it must be what the name holds afterwards.
  const auto still_ours = [&](const std::string& name) {
    struct stat named;
    return ::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_inode(named, file);
  };
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const auto present = judge_replaced(dir, to);
    if (!present) return std::unexpected(present.error());
    test_seam("archive-path");
    if (!still_ours(from)) return refuse(kNewFileMoved);
    const bool renamed =
        *present ? ::renameat(dir, from.c_str(), dir, to.c_str()) == 0
                 : ::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0 ||
                       ((errno == ENOSYS || errno == EINVAL) &&
                        ::renameat(dir, from.c_str(), dir, to.c_str()) == 0);
    if (renamed) return still_ours(to) ? Result<>() : refuse(kNewFileMoved);
    if (*present || errno != EEXIST) return os_error(errno);
  }
  return os_error(EEXIST);
}

// A name beside `name` that no other account can foresee and take first.
std::string unpredictable_name(const std::string& name) {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
    // No entropy yet (early boot) or no getrandom: O_EXCL still keeps the file the run's own.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<std::uint64_t>(now.tv_nsec) ^
           (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
           (static_cast<std::uint64_t>(::getpid()) << 48);
  }
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016" PRIx64, bits);
  return "." + name + "." + suffix;
}

Result<ArchiveFile> open_new(int dir, const std::string& name, std::string path) {
  // Judged before the walk, so that a refusal comes first.
  if (auto judged = judge_replaced(dir, name); !judged) return std::unexpected(judged.error());
  if (auto room = access::check_disk_margin(dir, 0, 1); !room) return std::unexpected(room.error());
  // All that can fail comes before the file is made: once it exists, it is handed over at
  // once, and the caller's DiscardUnlessKept removes it again.
  auto held = duplicate_fd(dir);
  if (!held) return std::unexpected(held.error());
  ArchiveFile file{std::move(path), UniqueFd(), std::move(*held), "", name};
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    file.entry = unpredictable_name(name);
    UniqueFd created(::openat(dir, file.entry.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode));
    if (created.valid()) {
      file.fd = std::move(created);
      return file;
    }
    if (errno != EEXIST) return os_error(errno);
  }
  return os_error(EEXIST);
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

Result<ArchiveFile> open_archive_file(int dir, const std::string& name, std::string path,
                                      bool shared, const std::function<void()>& before_create) {
  if (shared) return open_new(dir, name, std::move(path));
  return open_in_place(dir, name, std::move(path), before_create);
}

// Hosts in trouble are often reset right after a collection, which must not leave the archive
// empty or cut. Only a regular file is flushed (a trusted link may lead to a device); EINVAL is
// a file system that has nothing to flush. A directory we may not read cannot be flushed: the
// run would otherwise fail in a drop-box TMPDIR it can still write in.
Result<> ArchiveFile::flush() {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return {};
  if (::fdatasync(fd.get()) != 0 && errno != EINVAL) return os_error(errno);
  if (!rename_to.empty()) {
    if (auto renamed = rename_over(dir.get(), entry, rename_to, st); !renamed) return renamed;
    entry = std::exchange(rename_to, {});
  }
  UniqueFd listing(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing.valid()) return errno == EACCES ? Result<>() : os_error(errno);
  if (::fsync(listing.get()) != 0 && errno != EINVAL) return os_error(errno);
  return {};
}

DiscardUnlessKept::~DiscardUnlessKept() {
  if (file_ != nullptr && (interrupted() || !file_->rename_to.empty())) file_->discard();
}

void ArchiveFile::discard() const {
  struct stat opened;
  struct stat named;
  if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
  const bool same = !entry.empty() &&
                    ::fstatat(dir.get(), entry.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                    same_inode(named, opened);
  if (same && ::unlinkat(dir.get(), entry.c_str(), 0) == 0) return;
  [[maybe_unused]] const auto ignored = ::ftruncate(fd.get(), 0);
}

}  // namespace common::archive
