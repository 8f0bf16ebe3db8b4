// The archive file's life: made in the temporary directory the run holds open, flushed to disk
// before its path is printed, removed again when the run is interrupted.
//
// The archive's name is predictable, and the directory it lies in may be shared with other
// accounts (/tmp) or belong to one (a service account's TMPDIR). Two rules keep another
// account from steering what root writes:
// - Where another account may change the directory or the way to it (a shared directory, see
//   output_dir.h), nothing is written through an existing entry: the archive is a new file
//   (O_EXCL, 0600) under an unpredictable name, written, flushed and renamed over the archive's
//   name. What is at that name is judged before the walk and again before the rename: another
//   account's entry is refused (kHeldByAnotherAccount), a directory is EISDIR.
// - Elsewhere, whatever is already at the name is written through only when it is the run's
//   own: a regular file of the running user or of root with no other hard link is truncated
//   and made 0600 (keeping its owner), a link of theirs is followed on a way no other account
//   controls, and anything else is refused and left as it is. Where another account may change
//   the directory the link leads into, the target is as in a shared directory: a new file is
//   renamed over its name there. The verdict is on exactly the
//   entry looked at (an O_PATH descriptor) and again on the file opened, so swapping the entry
//   meanwhile gains nothing.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "common/error.h"
#include "common/file_io.h"

namespace common::archive {

// The refusal of an entry that another account holds, "(uid N)" following.
inline constexpr const char* kHeldByAnotherAccount = "the archive path is held by another account";
// The refusal where the new file was moved away from its name before the rename.
inline constexpr const char* kNewFileMoved = "the archive's new file was moved by another account";

enum class ArchivePathVerdict {
  kTruncate,  // opened where it is, not followed; a regular file is emptied
  kFollow,    // a link: what it leads to is opened, and judged in turn
  kRefuse,    // untouched
};

// What may be done with `existing`, found at the archive path (links not followed), by `user`.
ArchivePathVerdict judge_archive_path(const struct stat& existing, uid_t user);

// The archive open for writing.
struct ArchiveFile {
  std::string path;  // as shown and yielded: the temporary directory joined with the name
  UniqueFd fd;
  UniqueFd dir;  // the directory that holds the file's entry (O_PATH)
  // That entry; empty where the file was reached through a link, but for one the run made there.
  std::string entry;
  // Where the file is a new one under a name of its own: the archive's name, which flush()
  // gives it.
  std::string rename_to;

  // Puts the archive's data on disk, renames it over the archive's name where it is new, and
  // puts the directory entry on disk.
  Result<> flush();
  // Removes what the run made: the new file, or the archive at its name; where the file was
  // reached through a link, it is emptied instead.
  void discard() const;
};

// Discards the file when it goes out of scope unless kept: whatever ends the archive stage
// early, a failure or an exception, leaves no new file under its temporary name, and an
// interrupted run no half-made archive.
class DiscardUnlessKept {
 public:
  explicit DiscardUnlessKept(const ArchiveFile& file) : file_(&file) {}
  DiscardUnlessKept(const DiscardUnlessKept&) = delete;
  DiscardUnlessKept& operator=(const DiscardUnlessKept&) = delete;
  ~DiscardUnlessKept();
  void keep() { file_ = nullptr; }

 private:
  const ArchiveFile* file_;
};

// Opens the archive `name` in the directory open as `dir` (an O_PATH descriptor will do), as
// the rules above say for a `shared` directory or another. `before_create` runs just before
// each attempt to create the archive in place: tests plant what another account could plant
// in that moment.
Result<ArchiveFile> open_archive_file(int dir, const std::string& name, std::string path,
                                      bool shared, const std::function<void()>& before_create = {});

}  // namespace common::archive
