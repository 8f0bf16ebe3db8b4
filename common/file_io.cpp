#include "common/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace common {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<> UniqueFd::close() {
  const int fd = std::exchange(fd_, -1);
  // Linux releases the descriptor even when close fails, so it is never retried.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return os_error(errno);
  return {};
}

Result<DirStream> DirStream::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return fail(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return os_error(errno);
  return adopt(std::move(fd));
}

Result<DirStream> DirStream::adopt(UniqueFd fd) {
  DIR* dir = fdopendir(fd.get());
  if (dir == nullptr) return os_error(errno);
  fd.release();  // the stream owns the descriptor from here on
  return DirStream(dir);
}

DirStream::~DirStream() {
  if (dir_ != nullptr) closedir(dir_);
}

Result<const dirent*> DirStream::next() {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir_);
    if (entry == nullptr) {
      if (errno != 0) return os_error(errno);
      return nullptr;
    }
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      return entry;
    }
  }
}

Result<> write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::string> read_all(int fd) {
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

Result<std::string> read_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return os_error(errno);
  return read_all(fd.get());
}

Result<> write_file(const std::string& path, std::string_view data) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) return os_error(errno);
  if (auto written = write_all(fd.get(), data); !written) return written;
  return fd.close();
}

}  // namespace common
