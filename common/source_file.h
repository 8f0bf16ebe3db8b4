// Opening the host files the run collects (the configuration, the logs) for reading, safely
// when another account controls the way to them:
// - the type is looked up first, links followed: a FIFO, a device or a socket is never opened
//   (opening a device can act on it, and a terminal could become the run's controlling one);
// - the open is relative to the descriptor of the directory that holds the entry, with the
//   rights of whoever steers it (fs_identity.h), carries O_NOCTTY, and follows nothing where
//   the entry was not a link when looked up;
// - the file opened must be the regular file looked up (a swap in between is refused), and not
//   on a kernel pseudo file system, whose files are interfaces rather than logs (reading some
//   of them consumes what they hold).
#pragma once

#include <sys/stat.h>

#include <string>

#include "common/error.h"
#include "common/file_io.h"
#include "common/fs_identity.h"

namespace common {

inline constexpr const char* kNotRegularFile =
    "the source path is neither a regular file nor a symlink to a regular file";

// A directory whose entries are opened, with what fstat said of it.
struct SourceDir {
  UniqueFd fd;
  struct stat st;
};

// A regular file open for reading, with what fstat said when it was opened.
struct SourceFile {
  UniqueFd fd;
  struct stat st;
};

// What a directory where a file was expected fails with: the not-regular text (a copy), or
// EISDIR (a read).
enum class OnDirectory { kNotRegular, kIsADirectory };

// Opens the directory `path` with the rights of `steering`: listable, or, without `listable`,
// only to open entries in (search permission suffices).
Result<SourceDir> open_source_dir(const std::string& path, const Steering& steering, bool listable);

// Whether entry `name` of `dir` is a directory once links are followed, as looked up with the
// rights that would open it. An entry that cannot be looked up is not a directory.
bool is_directory_at(const SourceDir& dir, const char* name, const Steering& steering);

// Opens entry `name` of `dir` as described above; `steering` joins the entry's own steering.
Result<SourceFile> open_source_at(const SourceDir& dir, const char* name, const Steering& steering,
                                  OnDirectory on_directory = OnDirectory::kNotRegular);

// Opens the file at `path`, its directory opened with the rights of whoever steers the way to
// it.
Result<SourceFile> open_source(const std::string& path,
                               OnDirectory on_directory = OnDirectory::kNotRegular);

}  // namespace common
