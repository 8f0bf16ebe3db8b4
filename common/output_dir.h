// The run's output directory: the temporary directory (TMPDIR, else "/tmp") joined with the
// component's data directory name, created fresh for every run.
//
// The temporary directory may be shared with, or even belong to, another account, which can
// rename the new directory away and put a link or a directory of its own in its place at any
// moment. So the temporary directory is resolved as reads are (access/walk.h: another account's
// link on the way is followed with that account's rights) and held open; the new directory is
// made relative to it, opened without following a link, and accepted only as made: the running
// user's, mode 0700 less the umask (with the setgid bit and group a setgid temporary directory
// gives it, which is then cleared), no subdirectory and no entry. From then on the run reaches
// it only through that descriptor: every file a stage creates is created relative to it, the
// archive walk reads from it and the clean-up empties it. A run that fails after making it
// removes it again while it is empty, so that no later run stops at "already exists". The path
// is kept for the messages and for removing the directory's own entry at the end; the archive
// is made beside it through the temporary directory's descriptor.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/access/access.h"
#include "common/error.h"
#include "common/file_io.h"
#include "common/path.h"

namespace common {

class OutputPathError {
 public:
  static OutputPathError already_exists(std::string path);
  static OutputPathError create_failed(std::string path, Error error);
  static OutputPathError conversion();

  // The message printed before the process ends with status 1; no newline.
  std::string display() const;

 private:
  enum class Variant { AlreadyExists, CreateFailed, Conversion };

  OutputPathError(Variant variant, std::string path, std::string error_text)
      : variant_(variant), path_(std::move(path)), error_text_(std::move(error_text)) {}

  Variant variant_;
  std::string path_;        // as path bytes; shown lossily decoded
  std::string error_text_;  // CreateFailed only
};

// What refuses a directory found at the output path that is not the one just made.
inline constexpr const char* kNotMadeByThisRun =
    "the output directory is not the one this run made";

// The output directory: its path as UTF-8 text and the descriptor it was opened as; the
// temporary directory it lies in (an O_PATH descriptor, where the archive is made) and whether
// another account may change that directory or the way to it.
class OutputDir {
 public:
  OutputDir(std::string path, UniqueFd fd, UniqueFd parent, bool parent_shared)
      : path_(std::move(path)),
        fd_(std::move(fd)),
        parent_(std::move(parent)),
        parent_shared_(parent_shared) {}

  const std::string& path() const { return path_; }
  // Its entry in the temporary directory.
  std::string name() const { return std::string(base_name(path_)); }
  int fd() const { return fd_.get(); }
  int parent_fd() const { return parent_.get(); }
  bool parent_shared() const { return parent_shared_; }

 private:
  std::string path_;
  UniqueFd fd_;
  UniqueFd parent_;
  bool parent_shared_;
};

// The temporary directory as the platform defines it: TMPDIR if set (even empty), else "/tmp".
std::string temp_dir();

// Creates `temp_dir` joined with `data_dir_name` (mode 0700, before the umask) and opens it. What
// is found there once it is made must be as made (see above): anything else is CreateFailed
// with kNotMadeByThisRun.
std::expected<OutputDir, OutputPathError> create_output_dir_in(std::string_view temp_dir,
                                                               std::string_view data_dir_name);

std::expected<OutputDir, OutputPathError> create_output_dir(std::string_view data_dir_name);

}  // namespace common
