// The archive file's life: opened for writing, created (0600 before the umask: it holds
// configuration and logs) or truncated, an existing file keeping its mode and owner; flushed to
// disk before its path is printed; removed again when the run is interrupted.
//
// The archive's name is predictable, and the directory it lies in may be shared with other
// accounts (/tmp) or belong to one (a service account's TMPDIR). So whatever is already at the
// path is written through only when it is the run's own, in every directory alike: a regular
// file of the running user or of root with no other hard link is truncated, a link of the
// running user or of root is followed, and anything else is refused with EACCES and left as it
// is. Another account's link, its file, or a hard link it made to someone else's file never
// receives the archive. The verdict is on exactly the entry looked at (an O_PATH descriptor)
// and again on the file opened, so swapping the entry meanwhile gains nothing.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "common/error.h"
#include "common/file_io.h"

namespace common::archive {

enum class ArchivePathVerdict {
  kTruncate,  // opened where it is, not followed; a regular file is emptied
  kFollow,    // a link: what it leads to is opened, and judged in turn
  kRefuse,    // EACCES, untouched
};

// What may be done with `existing`, found at the archive path (links not followed), by `user`.
ArchivePathVerdict judge_archive_path(const struct stat& existing, uid_t user);

// The archive open for writing, and the path it was opened by.
struct ArchiveFile {
  std::string path;
  UniqueFd fd;

  // Puts the archive's data and its directory entry on disk.
  Result<> flush() const;
  // Removes the archive, or, where the path led to it through a link, empties it.
  void discard() const;
};

// `before_create` runs just before each attempt to create the archive anew: tests plant what
// another account could plant in that moment.
Result<ArchiveFile> open_archive_file(std::string path,
                                      const std::function<void()>& before_create = {});

}  // namespace common::archive
