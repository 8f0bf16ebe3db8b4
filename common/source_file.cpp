#include "common/source_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace common {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

struct PseudoFileSystem {
  std::uint32_t magic;
  const char* name;
};

// Their magic numbers as the kernel's statfs reports them.
constexpr PseudoFileSystem kPseudoFileSystems[] = {
    {0x9fa0, "procfs"},       {0x62656572, "sysfs"},      {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},  {0x73636673, "securityfs"}, {0x62656570, "configfs"},
    {0x27e0eb, "cgroup"},     {0x63677270, "cgroup2"},    {0xcafe4a11, "bpf"},
    {0xde5e81e4, "efivarfs"}, {0x6165676c, "pstore"},
};

Result<> refuse_pseudo_file(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return os_error(errno);
  for (const auto& pseudo : kPseudoFileSystems) {
    if (static_cast<std::uint32_t>(fs.f_type) == pseudo.magic) {
      return fail(std::string("the source path is on a kernel pseudo file system (") + pseudo.name +
                  ")");
    }
  }
  return {};
}

// The type a file looked up with links followed must have to be opened.
Result<> check_type(const struct stat& st, OnDirectory on_directory) {
  if (S_ISREG(st.st_mode)) return {};
  // What opening them would have said, without opening them.
  if (S_ISSOCK(st.st_mode)) return os_error(ENXIO);
  if (S_ISDIR(st.st_mode) && on_directory == OnDirectory::kIsADirectory) return os_error(EISDIR);
  return fail(kNotRegularFile);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void Resolver::HeldIdentity::become(const Steering& steering) {
  if (held_ && for_ == steering) return;
  held_.reset();
  held_.emplace(steering);
  for_ = steering;
}

// Opens `name` relative to `dir` with the rights of the steering and reads what it is. Kernels
// before 3.6 cannot fstat an O_PATH descriptor; the empty-path look-up can.
Result<Opened> Resolver::open_at(int dir, const char* name, int flags) {
  identity_.become(steering_);
  Opened opened;
  opened.fd = UniqueFd(::openat(dir, name, flags | O_CLOEXEC));
  if (!opened.fd.valid()) {
    // O_NOFOLLOW refuses a link swapped in since the look-up: no longer what was looked up.
    if (errno == ELOOP && (flags & O_NOFOLLOW) != 0) return fail(kNotRegularFile);
    return os_error(errno);
  }
  if (::fstat(opened.fd.get(), &opened.st) != 0 &&
      ::fstatat(opened.fd.get(), "", &opened.st, AT_EMPTY_PATH) != 0) {
    return os_error(errno);
  }
  return opened;
}

Result<Opened> Resolver::start(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail("file name contained an unexpected NUL byte");
  }
  if (path.empty()) return os_error(ENOENT);
  return open_at(AT_FDCWD, path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY);
}

Result<Opened> Resolver::directory(std::string_view path, bool listable) {
  const Release release{identity_};
  auto from = start(path);
  if (!from) return from;
  return walk(std::move(*from), path, listable ? Want::kListable : Want::kSearchable,
              OnDirectory::kNotRegular);
}

Result<Opened> Resolver::file(std::string_view path, OnDirectory on_directory) {
  const Release release{identity_};
  auto from = start(path);
  if (!from) return from;
  return walk(std::move(*from), path, Want::kFile, on_directory);
}

Result<Opened> Resolver::file_at(const Opened& dir, std::string_view name,
                                 OnDirectory on_directory) {
  const Release release{identity_};
  return step(dir, std::string(name), Want::kFile, on_directory);
}

bool Resolver::is_directory_at(const Opened& dir, std::string_view name) {
  const Release release{identity_};
  const std::string entry_name(name);
  struct stat st;
  if (::fstatat(dir.fd.get(), entry_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISLNK(st.st_mode)) return S_ISDIR(st.st_mode);
  // Only whether to select the entry: the kernel may follow the chain, as the link's chooser.
  // Reading it, if selected, resolves the chain step by step.
  identity_.become(choose_identity(st, dir.st, steering_));
  return ::fstatat(dir.fd.get(), entry_name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
}

Result<Opened> Resolver::walk(Opened current, std::string_view path, Want want,
                              OnDirectory on_directory) {
  std::size_t begin = 0;
  while (begin < path.size()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string part(path.substr(begin, end - begin));
    begin = path.find_first_not_of('/', end);
    if (begin == std::string_view::npos) begin = path.size();
    const bool last = begin == path.size();
    if (part.empty() || part == ".") {
      if (last) return finish_directory(std::move(current), want, on_directory);
      continue;
    }
    if (part == "..") {
      auto up = open_at(current.fd.get(), "..", O_PATH | O_DIRECTORY);
      if (!up) return up;
      current = std::move(*up);
      if (last) return finish_directory(std::move(current), want, on_directory);
      continue;
    }
    auto next = step(current, part, last ? want : Want::kSearchable, on_directory);
    if (!next || last) return next;
    current = std::move(*next);
  }
  return finish_directory(std::move(current), want, on_directory);
}

Result<Opened> Resolver::step(const Opened& dir, const std::string& name, Want want,
                              OnDirectory on_directory) {
  struct stat entry;
  identity_.become(steering_);
  if (::fstatat(dir.fd.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    return os_error(errno);
  }
  // Whoever may replace this entry could have put anything here.
  writers_ = combine(writers_, writers_of(dir.st, is_trusted(entry.st_uid)));
  steering_ = choose_identity(entry, dir.st, steering_);
  if (S_ISLNK(entry.st_mode)) return follow(dir, name, want, on_directory);
  return open_found(dir, name, entry, want, on_directory);
}

Result<Opened> Resolver::follow(const Opened& dir, const std::string& name, Want want,
                                OnDirectory on_directory) {
  if (++links_ > kMaxLinks) return os_error(ELOOP);
  char target[PATH_MAX];
  identity_.become(steering_);
  const ssize_t size = ::readlinkat(dir.fd.get(), name.c_str(), target, sizeof target);
  if (size < 0) return os_error(errno);
  if (static_cast<std::size_t>(size) == sizeof target) return os_error(ENAMETOOLONG);
  const std::string_view text(target, static_cast<std::size_t>(size));
  auto from =
      text.starts_with('/') ? start(text) : open_at(dir.fd.get(), ".", O_PATH | O_DIRECTORY);
  if (!from) return from;
  return walk(std::move(*from), text, want, on_directory);
}

Result<Opened> Resolver::open_found(const Opened& dir, const std::string& name,
                                    const struct stat& entry, Want want, OnDirectory on_directory) {
  if (want != Want::kFile) {
    if (!S_ISDIR(entry.st_mode)) return os_error(ENOTDIR);
    const int flags = (want == Want::kListable ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW;
    auto opened = open_at(dir.fd.get(), name.c_str(), flags);
    if (opened && !same_file(opened->st, entry)) return os_error(ENOTDIR);
    return opened;
  }
  if (auto type = check_type(entry, on_directory); !type) return std::unexpected(type.error());
  // Non-blocking and without following: a FIFO or a link swapped in since the look-up neither
  // holds the run up nor leads anywhere.
  auto file = open_at(dir.fd.get(), name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  const bool switched = identity_.switched();
  // The run's own rights again before anything else, the checks below included.
  identity_.release();
  if (!file) return file;
  if (!S_ISREG(file->st.st_mode) || !same_file(file->st, entry)) return fail(kNotRegularFile);
  // Where the run may not read as the steering account, it takes only that account's files.
  if (steering_ && !switched && file->st.st_uid != steering_->uid) return os_error(EACCES);
  if (auto refused = refuse_pseudo_file(file->fd.get()); !refused) {
    return std::unexpected(refused.error());
  }
  writers_ = combine(writers_, writers_of(file->st, false));
  return file;
}

Result<Opened> Resolver::finish_directory(Opened dir, Want want, OnDirectory on_directory) {
  switch (want) {
    case Want::kSearchable:
      return dir;
    case Want::kListable:
      return open_at(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY);
    case Want::kFile:
      break;
  }
  if (auto type = check_type(dir.st, on_directory); !type) return std::unexpected(type.error());
  return os_error(EISDIR);
}

}  // namespace common
