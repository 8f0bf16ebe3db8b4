// The run's output directory: the temporary directory (TMPDIR, else "/tmp") joined with the
// component's data directory name, created fresh for every run.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/error.h"

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

// The temporary directory as the platform defines it: TMPDIR if set (even empty), else "/tmp".
std::string temp_dir();

// Creates `temp_dir` joined with `data_dir_name` (mode 0700, before the umask) and yields its
// path as UTF-8 text.
std::expected<std::string, OutputPathError> create_output_dir_in(std::string_view temp_dir,
                                                                 std::string_view data_dir_name);

std::expected<std::string, OutputPathError> create_output_dir(std::string_view data_dir_name);

}  // namespace common
