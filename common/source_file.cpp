#include "common/source_file.h"

#include <fcntl.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdint>

#include "common/path.h"

namespace common {

namespace {

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

}  // namespace

Result<SourceDir> open_source_dir(const std::string& path, const Steering& steering,
                                  bool listable) {
  if (path.find('\0') != std::string::npos) {
    return fail("file name contained an unexpected NUL byte");
  }
  const int flags = (listable ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC;
  SourceDir dir;
  {
    const ScopedFsIdentity as(steering);
    dir.fd = UniqueFd(::open(path.c_str(), flags));
  }
  if (!dir.fd.valid()) return os_error(errno);
  if (::fstat(dir.fd.get(), &dir.st) != 0) return os_error(errno);
  return dir;
}

bool is_directory_at(const SourceDir& dir, const char* name, const Steering& steering) {
  struct stat st;
  if (::fstatat(dir.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISLNK(st.st_mode)) return S_ISDIR(st.st_mode);
  const ScopedFsIdentity as(choose_identity(st, dir.st, steering));
  return ::fstatat(dir.fd.get(), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

Result<SourceFile> open_source_at(const SourceDir& dir, const char* name, const Steering& steering,
                                  OnDirectory on_directory) {
  struct stat entry;
  if (::fstatat(dir.fd.get(), name, &entry, AT_SYMLINK_NOFOLLOW) != 0) return os_error(errno);
  const bool link = S_ISLNK(entry.st_mode);
  const Steering identity = choose_identity(entry, dir.st, steering);
  SourceFile file;
  int error = 0;
  bool switched = false;
  struct stat target = entry;
  {
    ScopedFsIdentity as(identity);
    switched = as.switched();
    if (link && ::fstatat(dir.fd.get(), name, &target, 0) != 0) error = errno;
    if (error == 0) {
      if (auto type = check_type(target, on_directory); !type) return std::unexpected(type.error());
      // Non-blocking and without following: a FIFO or a link swapped in since the look-up
      // neither holds the run up nor leads anywhere.
      const int flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (link ? 0 : O_NOFOLLOW);
      file.fd = UniqueFd(::openat(dir.fd.get(), name, flags));
      if (!file.fd.valid()) error = errno;
    }
  }
  if (error == ELOOP && !link) return fail(kNotRegularFile);
  if (error != 0) return os_error(error);
  if (::fstat(file.fd.get(), &file.st) != 0) return os_error(errno);
  if (!S_ISREG(file.st.st_mode) || file.st.st_dev != target.st_dev ||
      file.st.st_ino != target.st_ino) {
    return fail(kNotRegularFile);
  }
  // Where the run may not read as the steering account, it takes only that account's files.
  if (identity && !switched && file.st.st_uid != identity->uid) return os_error(EACCES);
  if (auto refused = refuse_pseudo_file(file.fd.get()); !refused) {
    return std::unexpected(refused.error());
  }
  return file;
}

Result<SourceFile> open_source(const std::string& path, OnDirectory on_directory) {
  const std::string directory(parent_dir(path));
  auto dir = open_source_dir(directory, path_steering(directory, false), false);
  if (!dir) return std::unexpected(dir.error());
  const std::string name(base_name(path));
  return open_source_at(*dir, name.c_str(), std::nullopt, on_directory);
}

}  // namespace common
