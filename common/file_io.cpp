#include "common/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "common/process.h"

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
      if (errno == EINTR) {
        if (interrupted()) return interrupted_error();
        continue;
      }
      // A descriptor handed to us non-blocking (some process managers do) is full for now:
      // wait until it takes more, as a blocking one would, instead of losing the rest.
      if (errno == EAGAIN) {
        pollfd fds[] = {{fd, POLLOUT, 0}, {interrupt_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return os_error(errno);
        if (interrupted()) return interrupted_error();
        continue;
      }
      return os_error(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

namespace {

// Waits until `fd` has data or an end to report, until `deadline` at most (then ETIMEDOUT), or
// until an interrupt, which the caller's loop then sees.
Result<> wait_readable(int fd, std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return os_error(ETIMEDOUT);
  pollfd fds[] = {{fd, POLLIN, 0}, {interrupt_fd(), POLLIN, 0}};
  if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return os_error(errno);
  return {};
}

}  // namespace

Result<std::uint64_t> read_chunks(int fd, std::span<char> buffer, std::uint64_t limit,
                                  const std::function<Result<>(std::string_view)>& sink) {
  std::uint64_t total = 0;
  std::optional<std::chrono::steady_clock::time_point> deadline;  // set while no data comes
  while (total < limit) {
    if (interrupted()) return interrupted_error();
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(limit - total, buffer.size()));
    const ssize_t n = ::read(fd, buffer.data(), want);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      // A non-blocking descriptor (a FIFO whose writer has not written yet) has no data for
      // now: wait for it as a blocking read would, but not without end.
      if (error != EAGAIN) return os_error(error);
      if (!deadline) deadline = std::chrono::steady_clock::now() + detail::read_wait;
      if (auto waited = wait_readable(fd, *deadline); !waited) {
        return std::unexpected(waited.error());
      }
      continue;
    }
    deadline.reset();
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (auto taken = sink({buffer.data(), static_cast<std::size_t>(n)}); !taken) {
      return std::unexpected(taken.error());
    }
  }
  return total;
}

Result<DataRegion> next_data_region(int fd, std::uint64_t offset, std::uint64_t size) {
  const off_t start = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (start < 0) {
    if (errno != ENXIO) return DataRegion{offset, size};
    // Only a hole up to the end, or the file has shrunk below `offset`.
    struct stat now;
    if (::fstat(fd, &now) != 0) return os_error(errno);
    const auto end = std::max(offset, std::min(size, static_cast<std::uint64_t>(now.st_size)));
    return DataRegion{end, end};
  }
  if (static_cast<std::uint64_t>(start) >= size) return DataRegion{size, size};
  const off_t hole = ::lseek(fd, start, SEEK_HOLE);
  return DataRegion{static_cast<std::uint64_t>(start),
                    hole < 0 ? size : std::min(size, static_cast<std::uint64_t>(hole))};
}

Result<std::string> read_prefix(int fd, std::size_t limit) {
  std::string content;
  char buffer[64 * 1024];
  auto read = read_chunks(fd, buffer, limit, [&](std::string_view chunk) -> Result<> {
    content += chunk;
    return {};
  });
  if (!read) return std::unexpected(read.error());
  return content;
}

Result<std::string> read_all(int fd, std::size_t max_size) {
  // One byte past the bound tells a file of exactly `max_size` bytes from a larger one.
  auto content = read_prefix(fd, max_size + 1);
  if (content && content->size() > max_size) return os_error(EFBIG);
  return content;
}

Result<UniqueFd> open_for_reading(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return os_error(errno);
  return fd;
}

Result<UniqueFd> duplicate_fd(int fd) {
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return os_error(errno);
  return copy;
}

Result<std::string> read_link(int link_fd) {
  char target[PATH_MAX];
  const ssize_t size = ::readlinkat(link_fd, "", target, sizeof target);
  if (size < 0) return os_error(errno);
  if (static_cast<std::size_t>(size) == sizeof target) return os_error(ENAMETOOLONG);
  return std::string(target, static_cast<std::size_t>(size));
}

}  // namespace common
