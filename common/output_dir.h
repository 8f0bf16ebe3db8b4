// The run's output directory: the temporary directory (TMPDIR, else "/tmp") joined with the
// component's data directory name, created fresh for every run.
//
// The temporary directory may be shared with, or even belong to, another account, which can
// rename the new directory away and put a link or a directory of its own in its place at any
// moment. So the directory is opened right after it is made, and from then on the run reaches
// it only through that descriptor: every file a stage creates is created relative to it, the
// archive walk reads from it and the clean-up empties it. The path is kept for the messages,
// for the archive's name beside it, and for removing the directory's own entry at the end.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file_io.h"

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

// The output directory: its path as UTF-8 text and the descriptor it was opened as.
class OutputDir {
 public:
  OutputDir(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

// The temporary directory as the platform defines it: TMPDIR if set (even empty), else "/tmp".
std::string temp_dir();

// Creates `temp_dir` joined with `data_dir_name` (mode 0700, before the umask) and opens it. What
// is found there once it is made must be a directory of the running user, not a link: anything
// else is CreateFailed with EACCES (or the error of the open).
std::expected<OutputDir, OutputPathError> create_output_dir_in(std::string_view temp_dir,
                                                               std::string_view data_dir_name);

std::expected<OutputDir, OutputPathError> create_output_dir(std::string_view data_dir_name);

}  // namespace common
