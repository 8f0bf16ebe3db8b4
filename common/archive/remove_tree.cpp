#include "common/archive/remove_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "common/file_io.h"

namespace common::archive {

namespace {

// Empties the directory open as `dir_fd`, working relative to it so that nothing outside
// can be reached through a link swapped in meanwhile.
Result<> empty_directory(int dir_fd) {
  const int listing_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return os_error(errno);
  DIR* raw = fdopendir(listing_fd);
  if (raw == nullptr) {
    const int error = errno;
    ::close(listing_fd);
    return os_error(error);
  }
  std::unique_ptr<DIR, int (*)(DIR*)> listing(raw, closedir);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing.get());
    if (entry == nullptr) {
      if (errno != 0) return os_error(errno);
      return {};
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::unlinkat(dir_fd, entry->d_name, 0) == 0) continue;
    if (errno != EISDIR) return os_error(errno);
    UniqueFd child(
        ::openat(dir_fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid()) return os_error(errno);
    if (auto emptied = empty_directory(child.get()); !emptied) return emptied;
    if (::unlinkat(dir_fd, entry->d_name, AT_REMOVEDIR) != 0) return os_error(errno);
  }
}

}  // namespace

Result<> remove_tree(const std::string& path) {
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return os_error(errno);
  if (auto emptied = empty_directory(dir.get()); !emptied) return emptied;
  dir = UniqueFd();
  if (::rmdir(path.c_str()) != 0) return os_error(errno);
  return {};
}

}  // namespace common::archive
