// Small RAII owners for descriptors and directory streams, the chunked read loop, the walk over
// a file's data regions, and the bounded whole-file read and the write that the stages share. Every
// descriptor is opened close-on-exec. Nothing reads without a bound: a configuration or release
// file that is a link to /dev/zero must end in an error, not in memory exhaustion.
#pragma once

#include <sys/stat.h>

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
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
  // Takes over an open directory descriptor.
  static Result<DirStream> adopt(UniqueFd fd);
  DirStream(DirStream&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  DirStream& operator=(DirStream&&) = delete;
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
  ~DirStream();

  // The next entry other than "." and "..", nullptr at the end, or the error of reading.
  Result<const dirent*> next();

 private:
  explicit DirStream(DIR* dir) : dir_(dir) {}
  DIR* dir_;
};

// A second descriptor for what `fd` holds, close-on-exec.
Result<UniqueFd> duplicate_fd(int fd);

// The target of the link held by `link_fd` (an O_PATH descriptor of the link itself). A target
// of PATH_MAX bytes or more is ENAMETOOLONG.
Result<std::string> read_link(int link_fd);

// Whether two stats describe the same file.
inline bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The most that is read of a file the run needs whole (the configuration file,
// /etc/system-release): a larger one fails with EFBIG instead of exhausting memory.
inline constexpr std::size_t kWholeFileLimit = 16 << 20;

// Writes all of `data`, retrying partial writes and EINTR, and waiting (poll) while a
// non-blocking descriptor is full.
Result<> write_all(int fd, std::string_view data);

// Reads `fd` from where it stands, in chunks of at most `buffer.size()` bytes, retrying EINTR,
// and hands each chunk to `sink`, until the end of the file or until `limit` bytes have been
// read. Stops at the first error of the read or of `sink`. Yields how many bytes were read.
// A non-blocking descriptor with no data for now is waited for (poll), at most
// detail::read_wait (10 s) without a byte, then ETIMEDOUT.
Result<std::uint64_t> read_chunks(int fd, std::span<char> buffer, std::uint64_t limit,
                                  const std::function<Result<>(std::string_view)>& sink);

// A stretch [start, end) of a file's bytes.
struct DataRegion {
  std::uint64_t start;
  std::uint64_t end;
};

// The next stretch of data of `fd` at or after `offset` (SEEK_DATA, SEEK_HOLE), cut at `size`;
// `offset` is below `size`. Where no data follows, an empty region where the file ends: at
// `size`, or where it ends now if it has shrunk below `size` meanwhile (never before
// `offset`). A file system that cannot tell data from holes gives all the rest as data.
Result<DataRegion> next_data_region(int fd, std::uint64_t offset, std::uint64_t size);

// At most the first `limit` bytes of an open descriptor; what lies beyond is not read.
Result<std::string> read_prefix(int fd, std::size_t limit);

// An open descriptor read to its end; more than `max_size` bytes is EFBIG ("File too large").
Result<std::string> read_all(int fd, std::size_t max_size);

// Opens `path` for reading without waiting (a FIFO without a writer does not hold the caller
// up: its reads then find no data) and never as the run's controlling terminal.
Result<UniqueFd> open_for_reading(const std::string& path);

namespace detail {
// How long read_chunks waits without a byte; tests shorten it.
inline std::chrono::milliseconds read_wait{10'000};
}  // namespace detail

}  // namespace common
