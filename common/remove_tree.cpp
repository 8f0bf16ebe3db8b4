#include "common/remove_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_io.h"
#include "common/test_seam.h"

namespace common {

namespace {

// Empties the directory open as `dir_fd`, working relative to it so that nothing outside
// can be reached through a link swapped in meanwhile.
Result<> empty_directory(int dir_fd) {
  // A descriptor of its own for the listing, so `dir_fd` stays usable for the *at calls: a new
  // open of the directory, not a duplicate, whose position another listing may have moved.
  UniqueFd listing_fd(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing_fd.valid()) return os_error(errno);
  auto listing = DirStream::adopt(std::move(listing_fd));
  if (!listing) return std::unexpected(listing.error());
  for (;;) {
    auto entry = listing->next();
    if (!entry) return std::unexpected(entry.error());
    if (*entry == nullptr) return {};
    const char* name = (*entry)->d_name;
    if (::unlinkat(dir_fd, name, 0) == 0) continue;
    if (errno != EISDIR) return os_error(errno);
    test_seam("remove:", name);
    UniqueFd child(::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid()) return os_error(errno);
    if (auto emptied = empty_directory(child.get()); !emptied) return emptied;
    if (::unlinkat(dir_fd, name, AT_REMOVEDIR) != 0) return os_error(errno);
  }
}

}  // namespace

Result<> remove_tree(int dir_fd, int parent_fd, const std::string& name) {
  if (auto emptied = empty_directory(dir_fd); !emptied) return emptied;
  struct stat held;
  struct stat named;
  if (::fstat(dir_fd, &held) != 0) return os_error(errno);
  if (::fstatat(parent_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return os_error(errno);
  if (!same_inode(named, held)) return os_error(ENOENT);
  if (::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) return os_error(errno);
  return {};
}

}  // namespace common
