// Small RAII owners for descriptors and directory streams, and the whole-file read and write
// that the stages share. Every descriptor is opened close-on-exec.
#pragma once

#include <dirent.h>

#include <string>
#include <string_view>
#include <utility>

#include "common/error.h"

namespace common {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes now and reports the error that close may be the first to see (EIO, ENOSPC).
  Result<> close();

 private:
  int fd_ = -1;
};

// A directory stream that owns its descriptor.
class DirStream {
 public:
  // Opens `path` (symbolic links followed).
  static Result<DirStream> open(const std::string& path);
  // Takes over an open directory descriptor.
  static Result<DirStream> adopt(UniqueFd fd);
  DirStream(DirStream&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  DirStream& operator=(DirStream&&) = delete;
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  ~DirStream();

  // The next entry other than "." and "..", nullptr at the end, or the error of reading.
  Result<const dirent*> next();
  int fd() const { return dirfd(dir_); }

 private:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  DIR* dir_;
};

// Writes all of `data`, retrying partial writes and EINTR.
Result<> write_all(int fd, std::string_view data);

// Reads an open descriptor to its end.
Result<std::string> read_all(int fd);

// Opens without waiting (a FIFO without a writer does not hold the caller up) and reads the
// whole file.
Result<std::string> read_file(const std::string& path);

// Creates or truncates `path` (permission bits 0666 before the umask) and writes `data`.
Result<> write_file(const std::string& path, std::string_view data);

}  // namespace common
