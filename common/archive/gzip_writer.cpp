#include "common/archive/gzip_writer.h"

#include <algorithm>
#include <cstring>

#include "common/access/disk_margin.h"
#include "common/file_io.h"

namespace common::archive {

namespace {

// For the gzip header and trailer and runs of zeros; a compressed block goes out as it is.
constexpr std::size_t kOutputBufferSize = 64 * 1024;
// Deflate, no flags, time 0, no extra flags, OS 255: the same on every run and host.
constexpr std::string_view kHeader("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
// A shorter run at a compressing level goes into a block as data: a block of our own ends the
// block before it early, which on a short run costs more than it saves.
constexpr std::uint64_t kLongRun = 1 << 20;
// Never written: it stays all zeros, and in .bss rather than in the binary.
char zero_bytes[64 * 1024];

// The CRC-32 of what `crc` was taken over followed by `count` zero bytes. A zero byte only
// multiplies the CRC register (the CRC inverted) by x^8 modulo the polynomial, and
// crc32_combine with an empty second part is that multiplication for any count at once.
uLong crc_after_zeros(uLong crc, std::uint64_t count) {
  constexpr uLong kInvert = 0xffffffff;
  while (count > 0) {
    // z_off_t is 32 bits wide on some hosts.
    const std::uint64_t n = std::min<std::uint64_t>(count, 1 << 30);
    crc = crc32_combine(crc ^ kInvert, 0, static_cast<z_off_t>(n)) ^ kInvert;
    count -= n;
  }
  return crc;
}

}  // namespace

GzipWriter::GzipWriter(int fd, std::optional<unsigned> workers)
    : fd_(fd),
      out_(std::make_unique_for_overwrite<unsigned char[]>(kOutputBufferSize)),
      pool_(workers) {
  std::memcpy(out_.get(), kHeader.data(), kHeader.size());
  out_size_ = kHeader.size();
}

// Writes what the output buffer holds and makes the whole buffer free again.
Result<> GzipWriter::write_out() {
  const std::size_t produced = std::exchange(out_size_, 0);
  if (produced == 0) return {};
  // What is written, not what goes in: a hole of a TiB is a GiB here.
  auto written = access::check_disk_margin(fd_, produced);
  if (written) {
    written = write_all(fd_, std::string_view(reinterpret_cast<char*>(out_.get()), produced));
  }
  return written;
}

// Appends bytes to the output buffer.
Result<> GzipWriter::put(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), kOutputBufferSize - out_size_);
    std::memcpy(out_.get() + out_size_, bytes.data(), n);
    out_size_ += n;
    bytes.remove_prefix(n);
    if (out_size_ == kOutputBufferSize) {
      if (auto written = write_out(); !written) return written;
    }
  }
  return {};
}

Result<> GzipWriter::put_zeros(std::uint64_t count) {
  while (count > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zero_bytes));
    if (auto wrote = put({zero_bytes, n}); !wrote) return wrote;
    count -= n;
  }
  return {};
}

Result<> GzipWriter::block(const BlockInput& in, const BlockOutput& out) {
  crc_ = crc32_combine(crc_, out.crc, static_cast<z_off_t>(in.size));
  size_ += in.size;
  if (in.level == 0) {
    return stored_pieces(in, [&](std::string_view header, std::string_view data) -> Result<> {
      if (auto wrote = put(header); !wrote) return wrote;
      return put(data);
    });
  }
  return put_large({reinterpret_cast<const char*>(out.bytes.get()), out.size});
}

// Bytes that may fill the output buffer many times over go out as they are.
Result<> GzipWriter::put_large(std::string_view bytes) {
  if (out_size_ + bytes.size() <= kOutputBufferSize) return put(bytes);
  if (auto written = write_out(); !written) return written;
  if (auto written = access::check_disk_margin(fd_, bytes.size()); !written) return written;
  return write_all(fd_, bytes);
}

Result<> GzipWriter::zeros(const ZeroRun& run) {
  crc_ = crc_after_zeros(crc_, run.count);
  size_ += run.count;
  if (auto wrote = put(run.head); !wrote) return wrote;
  if (auto wrote = put_zeros(run.zero_bytes); !wrote) return wrote;
  return put(run.tail);
}

Result<> GzipWriter::push_block(bool last) {
  BlockInput& in = pool_.current();
  in.level = level_;
  in.last = last;
  // The bits a block of our own left over come first.
  in.prime_bits = std::exchange(held_bits_, 0);
  in.prime_count = std::exchange(held_count_, 0);
  pool_.push_block();
  return pool_.deliver(*this, last);
}

Result<> GzipWriter::write(std::string_view data) {
  while (!data.empty()) {
    BlockInput& in = pool_.current();
    // A full block goes once more follows: the last one ends the stream.
    if (in.size == kDeflateBlock) {
      if (auto pushed = push_block(false); !pushed) return pushed;
      continue;
    }
    const std::size_t n = std::min(data.size(), kDeflateBlock - in.size);
    std::memcpy(in.data() + in.size, data.data(), n);
    in.size += n;
    data.remove_prefix(n);
  }
  return {};
}

Result<> GzipWriter::write_zeros(std::uint64_t count) {
  if (count == 0) return {};
  if (level_ != 0 && count < kLongRun) {
    while (count > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zero_bytes));
      if (auto written = write({zero_bytes, n}); !written) return written;
      count -= n;
    }
    return {};
  }
  if (pool_.current().size > 0) {
    if (auto pushed = push_block(false); !pushed) return pushed;
  }
  pool_.push_zeros(zero_run(count, held_bits_, held_count_));
  return pool_.deliver(*this, false);
}

Result<> GzipWriter::set_level(int level) {
  if (level == level_) return {};
  // What was written before is a block of the old level.
  if (pool_.current().size > 0) {
    if (auto pushed = push_block(false); !pushed) return pushed;
  }
  level_ = level;
  return {};
}

Result<> GzipWriter::finish() {
  if (auto ended = push_block(true); !ended) return ended;
  // CRC-32 and the length modulo 2^32, little-endian.
  char trailer[8];
  for (int i = 0; i < 4; ++i) {
    trailer[i] = static_cast<char>(crc_ >> (8 * i));
    trailer[4 + i] = static_cast<char>(size_ >> (8 * i));
  }
  if (auto wrote = put({trailer, sizeof trailer}); !wrote) return wrote;
  return write_out();
}

}  // namespace common::archive
