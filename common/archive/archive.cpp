#include "common/archive/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/archive/archive_file.h"
#include "common/archive/gzip_writer.h"
#include "common/archive/name_stack.h"
#include "common/archive/sparse_map.h"
#include "common/archive/tar_header.h"
#include "common/file_io.h"
#include "common/path.h"
#include "common/process.h"

namespace common::archive {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

// Whether a member's data begins with the magic of an already-compressed format: gzip, xz,
// zstd, bzip2, lz4 frame, zip. Such data (mostly rotated logs, agent.log.2.gz ...) is stored
// at level 0: level 6 would spend its time searching for matches that are not there and end
// up emitting stored blocks anyway. The output is still one conforming DEFLATE stream in one
// gzip member, and the tar stream inside it is byte for byte the same; only the encoder's
// effort differs. The zeros of holes are compressed whatever the data begins with.
Result<bool> begins_compressed(int fd, std::uint64_t size) {
  static constexpr std::string_view kMagics[] = {
      "\x1f\x8b",         std::string_view("\xfd\x37\x7a\x58\x5a\x00", 6),
      "\x28\xb5\x2f\xfd", "\x42\x5a\x68",
      "\x04\x22\x4d\x18", "\x50\x4b\x03\x04"};
  char head[6];
  ssize_t n;
  do {
    n = ::pread(fd, head, std::min<std::uint64_t>(size, sizeof head), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return os_error(errno);
  const std::string_view data(head, static_cast<std::size_t>(n));
  for (const std::string_view magic : kMagics) {
    if (data.starts_with(magic)) return true;
  }
  return false;
}

// The zeros of a tar block's padding.
constexpr char kPadding[kBlockSize] = {};

struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator==(const DirId&) const = default;
};

// A directory the walk is inside of. Its entries still to be archived are the names on the
// stack from `first` up, below those of any subdirectory being walked.
struct Frame {
  UniqueFd fd;           // what the entries are looked up and opened relative to
  std::string relative;  // its path inside the output directory: empty for the directory itself
  DirId id;
  std::size_t first;
};

MemberInfo info_from_stat(const struct stat& st, char typeflag) {
  MemberInfo info;
  info.mode = st.st_mode;
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  info.mtime = st.st_mtime;
  info.typeflag = typeflag;
  return info;
}

class TarWalker {
 public:
  TarWalker(int output_dir_fd, std::string_view data_dir_name, GzipWriter& out,
            const ArchiveProgress& progress, HoleLimits limits)
      : output_dir_fd_(output_dir_fd),
        data_dir_name_(data_dir_name),
        out_(out),
        progress_(progress),
        limits_(limits),
        buffer_(std::make_unique_for_overwrite<char[]>(kReadChunk)) {}

  Result<> walk() {
    if (interrupted()) return interrupted_error();
    struct stat st;
    if (::fstat(output_dir_fd_, &st) != 0) return os_error(errno);
    auto root = duplicate_fd(output_dir_fd_);
    if (!root) return std::unexpected(root.error());
    if (auto added = add_directory(std::move(*root), "", st); !added) return added;
    while (!names_.empty()) {
      if (interrupted()) return interrupted_error();
      // Leave the directories whose entries are all done.
      while (frames_.back().first >= names_.size()) frames_.pop_back();
      name_.assign(names_.top());
      names_.pop();
      if (auto added = add(name_); !added) return added;
    }
    return {};
  }

  // The two zero blocks that end the tar stream.
  Result<> end() { return write_zeros(2 * kBlockSize); }

 private:
  // An entry of the innermost directory.
  Result<> add(const std::string& name) {
    const Frame& parent = frames_.back();
    std::string relative = join_path(parent.relative, name);
    // Links are followed: a link to a directory is archived as that directory.
    struct stat st;
    if (::fstatat(parent.fd.get(), name.c_str(), &st, 0) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) {
      UniqueFd dir(::openat(parent.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!dir.valid()) return os_error(errno);
      return add_directory(std::move(dir), std::move(relative), st);
    }
    const std::string member = join_path(data_dir_name_, relative);
    if (S_ISREG(st.st_mode)) return add_file(parent.fd.get(), name, member);
    return add_special(member, st);
  }

  // Lists the directory whole, pushing its entries, before its own header goes out. `st` is
  // what it was looked up as.
  Result<> add_directory(UniqueFd dir, std::string relative, const struct stat& st) {
    const DirId id{st.st_dev, st.st_ino};
    for (const Frame& ancestor : frames_) {
      if (ancestor.id == id) return os_error(ELOOP);
    }
    // The listing opens the directory anew: a duplicate would share its position with the
    // descriptor it came from.
    UniqueFd listing_fd(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing_fd.valid()) return os_error(errno);
    auto listing = DirStream::adopt(std::move(listing_fd));
    if (!listing) return std::unexpected(listing.error());
    const std::string member =
        relative.empty() ? std::string(data_dir_name_) + "/" : join_path(data_dir_name_, relative);
    frames_.push_back({std::move(dir), std::move(relative), id, names_.size()});
    for (;;) {
      auto listed = listing->next();
      if (!listed) return std::unexpected(listed.error());
      if (*listed == nullptr) break;
      names_.push((*listed)->d_name);
    }
    return write(member_header_blocks(member, info_from_stat(st, '5')));
  }

  Result<> add_file(int dir_fd, const std::string& name, const std::string& member) {
    UniqueFd fd = open_member(dir_fd, name);
    if (!fd.valid()) return os_error(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(errno);
    // Swapped for something else since the look-up: archive what was opened.
    if (!S_ISREG(st.st_mode)) return add_special(member, st);
    MemberInfo info = info_from_stat(st, '0');
    const auto size = static_cast<std::uint64_t>(st.st_size);
    // Size and map are both taken now; what the file does later changes neither.
    auto map = map_data_regions(fd.get(), size, limits_.map_entries);
    if (!map) return std::unexpected(map.error());
    std::string headers;
    if (map->holes == 0 || within_zeros_budget(map->holes)) {
      zeros_stored_ += map->holes;
      map->regions.assign({{0, size}});
      info.size = size;
      headers = member_header_blocks(member, info);
    } else {
      zeros_stored_ += map->merged;
      headers = sparse_member_header_blocks(member, info, map->regions, size);
    }
    if (auto written = write(headers); !written) return written;
    return copy_data(fd.get(), map->regions, size);
  }

  // Without waiting: a FIFO swapped in since the look-up must not hold the run up. A copy the
  // run made of a file whose owner may not read it (mode 0040, read through a group by a run
  // that is not root) is the run's own: its owner's read bit is lent for the open and given
  // back at once, so the member keeps the copy's mode.
  static UniqueFd open_member(int dir_fd, const std::string& name) {
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::openat(dir_fd, name.c_str(), kFlags));
    struct stat st;
    if (fd.valid() || errno != EACCES ||
        ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() ||
        ::fchmodat(dir_fd, name.c_str(), (st.st_mode & 07777) | S_IRUSR, 0) != 0) {
      errno = EACCES;
      return fd;
    }
    UniqueFd lent(::openat(dir_fd, name.c_str(), kFlags | O_NOFOLLOW));
    const int error = errno;
    [[maybe_unused]] const int restored = ::fchmodat(dir_fd, name.c_str(), st.st_mode & 07777, 0);
    errno = error;
    return lent;
  }

  // Whether `holes` more bytes of zeros keep the run within its budget.
  bool within_zeros_budget(std::uint64_t holes) const {
    return zeros_stored_ <= limits_.zeros && holes <= limits_.zeros - zeros_stored_;
  }

  // Exactly the bytes of `regions` follow the header, whatever the file did meanwhile: what it
  // no longer holds (it shrank) is made up with zeros, what it gained is left out, so the
  // stream stays aligned. `size` is the file's size as the header gives it.
  Result<> copy_data(int fd, std::span<const DataRegion> regions, std::uint64_t size) {
    const auto stored = begins_compressed(fd, size);
    if (!stored) return std::unexpected(stored.error());
    if (*stored) {
      if (auto set = out_.set_level(0); !set) return set;
    }
    std::uint64_t data = 0;
    for (const DataRegion& region : regions) {
      if (auto copied = copy_region(fd, region); !copied) return copied;
      data += region.end - region.start;
    }
    if (auto padded = write({kPadding, (kBlockSize - data % kBlockSize) % kBlockSize}); !padded) {
      return padded;
    }
    return *stored ? out_.set_level(kDefaultLevel) : Result<>();
  }

  // The bytes [start, end) of the file. Holes inside (a whole member's, those merged into a
  // map's regions, or where the file changed since the map was taken) are not read
  // (SEEK_DATA/SEEK_HOLE): the zeros they hold, as those that make up for a file that shrank,
  // go to the gzip stream as a count.
  Result<> copy_region(int fd, DataRegion region) {
    const auto sink = [&](std::string_view chunk) -> Result<> {
      auto written = write(chunk);
      if (progress_) progress_(written_);
      return written;
    };
    std::uint64_t offset = region.start;
    while (offset < region.end) {
      const auto next = next_data_region(fd, offset, region.end);
      if (!next) return std::unexpected(next.error());
      const auto [start, end] = *next;
      if (start == end) break;  // no data follows: zeros make up the rest
      if (auto zeros = write_zeros(start - offset); !zeros) return zeros;
      if (::lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) return os_error(errno);
      auto copied = read_chunks(fd, {buffer_.get(), kReadChunk}, end - start, sink);
      if (!copied) return std::unexpected(copied.error());
      offset = start + *copied;
      if (offset < end) break;  // the file has shrunk: zeros make up the rest
    }
    return write_zeros(region.end - offset);
  }

  Result<> add_special(const std::string& name, const struct stat& st) {
    char typeflag;
    if (S_ISFIFO(st.st_mode)) {
      typeflag = '6';
    } else if (S_ISCHR(st.st_mode)) {
      typeflag = '3';
    } else if (S_ISBLK(st.st_mode)) {
      typeflag = '4';
    } else if (S_ISSOCK(st.st_mode)) {
      return fail(name + ": socket can not be archived");
    } else {
      return fail(name + " has unknown file type");
    }
    MemberInfo info = info_from_stat(st, typeflag);
    if (typeflag != '6') {
      info.devmajor = major(st.st_rdev);
      info.devminor = minor(st.st_rdev);
    }
    return write(member_header_blocks(name, info));
  }

  Result<> write(std::string_view data) {
    written_ += data.size();
    return out_.write(data);
  }

  // Zeros the gzip stream is told of rather than given. A long run goes in slices, between
  // which an interrupt is seen and progress reported as for data.
  Result<> write_zeros(std::uint64_t count) {
    constexpr std::uint64_t kSlice = 64 << 20;
    while (count > 0) {
      const std::uint64_t n = std::min(count, kSlice);
      written_ += n;
      if (auto written = out_.write_zeros(n); !written) return written;
      count -= n;
      if (n < kSlice) continue;
      if (interrupted()) return interrupted_error();
      if (progress_) progress_(written_);
    }
    return {};
  }

  int output_dir_fd_;
  std::string_view data_dir_name_;
  GzipWriter& out_;
  const ArchiveProgress& progress_;
  HoleLimits limits_;
  std::uint64_t zeros_stored_ = 0;  // bytes of holes stored as zeros so far
  std::uint64_t written_ = 0;       // tar bytes so far
  std::vector<Frame> frames_;       // the directories the walk is inside of, innermost last
  NameStack names_;                 // the entries still to be archived, last listed on top
  std::string name_;                // the entry being archived
  std::unique_ptr<char[]> buffer_;  // not zero-filled: only ever read into
};

}  // namespace

Result<std::string> archive_output_directory(const OutputDir& output_dir,
                                             std::string_view data_dir_name,
                                             const ArchiveProgress& progress, HoleLimits limits) {
  auto file = open_archive_file(output_dir.parent_fd(), std::string(data_dir_name) + ".tar.gz",
                                output_dir.path() + ".tar.gz", output_dir.parent_shared());
  if (!file) return std::unexpected(file.error());
  Result<> outcome;
  {
    // From here on, whatever ends the stage short of a flushed archive discards it.
    DiscardUnlessKept discard(*file);
    {
      GzipWriter gzip(file->fd.get());
      TarWalker walker(output_dir.fd(), data_dir_name, gzip, progress, limits);
      outcome = walker.walk();
      // After a failed walk the archive is still ended as far as it goes; the first error is
      // the one reported.
      auto ended = walker.end();
      if (ended) ended = gzip.finish();
      if (outcome && !ended) outcome = ended;
    }
    if (outcome) outcome = file->flush();
    if (outcome) discard.keep();
  }
  auto closed = file->fd.close();
  if (outcome && !closed) outcome = closed;
  if (!outcome) return std::unexpected(outcome.error());
  return std::move(file->path);
}

}  // namespace common::archive
