#include "common/output_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/path.h"
#include "common/remove_tree.h"
#include "common/test_seam.h"
#include "common/utf8.h"

namespace common {

OutputPathError OutputPathError::already_exists(std::string path) {
  return OutputPathError(Variant::AlreadyExists, std::move(path), "");
}

OutputPathError OutputPathError::create_failed(std::string path, Error error) {
  return OutputPathError(Variant::CreateFailed, std::move(path), error.text());
}

OutputPathError OutputPathError::conversion() {
  return OutputPathError(Variant::Conversion, "", "");
}

std::string OutputPathError::display() const {
  switch (variant_) {
    case Variant::AlreadyExists:
      return "Output directory " + to_utf8_lossy(path_) + " already exists.";
    case Variant::CreateFailed:
      return "Failed to create output directory " + to_utf8_lossy(path_) +
             " due to: " + error_text_ + ".";
    case Variant::Conversion:
      break;
  }
  return "Failed to create output directory due to conversion issues.";
}

std::string temp_dir() {
  const char* value = std::getenv("TMPDIR");
  return value != nullptr ? value : "/tmp";
}

std::expected<OutputDir, OutputPathError> create_output_dir_in(std::string_view temp_dir,
                                                               std::string_view data_dir_name) {
  std::string path = join_path(temp_dir, data_dir_name);
  struct stat existing;
  if (::stat(path.c_str(), &existing) == 0) {
    return std::unexpected(OutputPathError::already_exists(std::move(path)));
  }
  const auto failed = [&path](int error) {
    return std::unexpected(
        OutputPathError::create_failed(std::move(path), Error::from_errno(error)));
  };
  // Owner-only: the directory gathers configuration and logs, which may hold credentials,
  // in a shared place such as /tmp.
  if (::mkdir(path.c_str(), 0700) != 0) return failed(errno);
  test_seam("output-dir");
  // Whatever is at the path now is what every stage writes into: it must be what was made.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return failed(errno);
  struct stat made;
  if (::fstat(fd.get(), &made) != 0) return failed(errno);
  if (made.st_uid != ::geteuid()) return failed(EACCES);
  if (validate_utf8(path)) {
    // An empty directory left here would block every later run with "already exists"; removed
    // only while it is still the one made.
    [[maybe_unused]] const auto removed = remove_tree(fd.get(), path);
    return std::unexpected(OutputPathError::conversion());
  }
  return OutputDir(std::move(path), std::move(fd));
}

std::expected<OutputDir, OutputPathError> create_output_dir(std::string_view data_dir_name) {
  return create_output_dir_in(temp_dir(), data_dir_name);
}

}  // namespace common
