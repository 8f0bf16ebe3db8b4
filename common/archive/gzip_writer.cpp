#include "common/archive/gzip_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "common/access/disk_margin.h"
#include "common/file_io.h"

namespace common::archive {

namespace {

constexpr int kRawWindowBits = -15;  // 32 KiB window, no wrapper: the gzip one is ours
constexpr int kMemLevel = 8;
constexpr std::size_t kOutputBufferSize = 256 * 1024;
// Deflate, no flags, time 0, no extra flags, OS 255: the same on every run and host.
constexpr std::string_view kHeader("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
// A shorter run at a compressing level goes through zlib: a block of our own ends zlib's
// block early, which on a short run costs more than it saves.
constexpr std::uint64_t kLongRun = 1 << 20;
// Never written: it stays all zeros, and in .bss rather than in the binary.
char zeros[64 * 1024];

Error zlib_error(int code, const z_stream& stream) {
  return Error(stream.msg != nullptr ? stream.msg
                                     : "compression failed (" + std::to_string(code) + ")");
}

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

// DEFLATE's bit order: fields lowest bit first, bytes filled from their lowest bit. Huffman
// codes go highest bit first, so the codes below are written bit-reversed.
struct BitWriter {
  std::string bytes;
  unsigned bits = 0;
  int count = 0;

  void put(unsigned value, int width) {
    bits |= value << count;
    for (count += width; count >= 8; count -= 8, bits >>= 8) {
      bytes.push_back(static_cast<char>(bits & 0xff));
    }
  }
};

// A block of zeros (RFC 1951, 3.2.7) with dynamic Huffman codes of three literal/length
// symbols: literal 0 "10", end of block "11", length 258 (symbol 285) "0"; and two distance
// codes, distance 1 "0" and distance 2 "1" (two, as zlib always sends: one alone would make an
// incomplete code, a corner of the format best not relied on). A copy of 258 bytes at
// distance 1 is then two 0 bits.
constexpr unsigned kLiteralZero = 0b01;
constexpr unsigned kEndOfBlock = 0b11;

void put_zero_block_header(BitWriter& out) {
  out.put(0, 1);          // not the last block
  out.put(2, 2);          // dynamic Huffman codes
  out.put(286 - 257, 5);  // literal/length codes 0 to 285
  out.put(2 - 1, 5);      // distance codes 0 and 1
  // The code length code's lengths, in the order the format gives them, up to the one of
  // symbol 1: symbol 18 (a run of 11 to 138 unused symbols) "0", 1 "10", 2 "11".
  out.put(18 - 4, 4);
  for (const unsigned length : {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2}) {
    out.put(length, 3);
  }
  const auto unused = [&](unsigned n) {
    out.put(0, 1);
    out.put(n - 11, 7);
  };
  constexpr unsigned kLengthOne = 0b01, kLengthTwo = 0b11;
  out.put(kLengthTwo, 2);  // literal 0
  unused(138);             // literals 1 to 255
  unused(117);
  out.put(kLengthTwo, 2);  // end of block
  unused(28);              // lengths 3 to 257
  out.put(kLengthOne, 2);  // length 258
  out.put(kLengthOne, 2);  // distance 1
  out.put(kLengthOne, 2);  // distance 2
}

}  // namespace

GzipWriter::GzipWriter(int fd)
    : fd_(fd), out_(std::make_unique_for_overwrite<unsigned char[]>(kOutputBufferSize)) {}

GzipWriter::~GzipWriter() {
  if (initialised_) deflateEnd(&stream_);
}

Result<> GzipWriter::start() {
  const int init =
      deflateInit2(&stream_, level_, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
  if (init != Z_OK) return std::unexpected(zlib_error(init, stream_));
  initialised_ = true;
  stream_.next_out = out_.get();
  stream_.avail_out = static_cast<uInt>(kOutputBufferSize);
  return put(kHeader);
}

// Writes what the output buffer holds and makes the whole buffer free again.
Result<> GzipWriter::write_out() {
  const std::size_t produced = kOutputBufferSize - stream_.avail_out;
  // What is written, not what goes in: a hole of a TiB is a GiB here.
  auto written = access::check_disk_margin(fd_, produced);
  if (written) {
    written = write_all(fd_, std::string_view(reinterpret_cast<char*>(out_.get()), produced));
  }
  stream_.next_out = out_.get();
  stream_.avail_out = static_cast<uInt>(kOutputBufferSize);
  return written;
}

// Appends bytes of our own to the output buffer.
Result<> GzipWriter::put(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), stream_.avail_out);
    std::memcpy(stream_.next_out, bytes.data(), n);
    stream_.next_out += n;
    stream_.avail_out -= static_cast<uInt>(n);
    bytes.remove_prefix(n);
    if (stream_.avail_out == 0) {
      if (auto written = write_out(); !written) return written;
    }
  }
  return {};
}

Result<> GzipWriter::put_zeros(std::uint64_t count) {
  while (count > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zeros));
    if (auto wrote = put({zeros, n}); !wrote) return wrote;
    count -= n;
  }
  return {};
}

Result<> GzipWriter::deflate_and_write(std::string_view data, int flush) {
  if (!initialised_) {
    if (auto started = start(); !started) return started;
  }
  if (std::exchange(own_block_last_, false) && held_count_ > 0) {
    // zlib's next block follows the bits our last block left in a byte of its own.
    const int primed = deflatePrime(&stream_, held_count_, static_cast<int>(held_bits_));
    if (primed != Z_OK) return std::unexpected(zlib_error(primed, stream_));
  }
  // Null data would restart the CRC.
  if (!data.empty()) {
    crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(data.data()), data.size());
  }
  size_ += data.size();
  do {
    // avail_in is 32 bits wide: feed very large buffers in slices.
    const std::size_t slice = std::min<std::size_t>(data.size(), std::numeric_limits<uInt>::max());
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(slice);
    const int slice_flush = slice == data.size() ? flush : Z_NO_FLUSH;
    int code;
    bool output_full;
    do {
      code = deflate(&stream_, slice_flush);
      if (code == Z_STREAM_ERROR) return std::unexpected(zlib_error(code, stream_));
      output_full = stream_.avail_out == 0;
      if (auto written = write_out(); !written) return written;
      // Until zlib has taken all the input and had room for all its output (and, finishing,
      // has ended the stream).
    } while (output_full || stream_.avail_in > 0 ||
             (slice_flush == Z_FINISH && code != Z_STREAM_END));
    data.remove_prefix(slice);
  } while (!data.empty());
  return {};
}

Result<> GzipWriter::write(std::string_view data) {
  if (data.empty()) return {};
  return deflate_and_write(data, Z_NO_FLUSH);
}

Result<> GzipWriter::write_zeros(std::uint64_t count) {
  if (count == 0) return {};
  if (level_ == 0 || count >= kLongRun) return zero_block(count);
  while (count > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof zeros));
    if (auto written = deflate_and_write({zeros, n}, Z_NO_FLUSH); !written) return written;
    count -= n;
  }
  return {};
}

// The zeros are literals up to the first multiple of 258 (at least one: a copy at distance 1
// repeats the byte before it), then copies of 258: about 1000 zeros per output byte, whose
// bytes past the header are all zero.
Result<> GzipWriter::zero_block(std::uint64_t count) {
  if (!own_block_last_) {
    // zlib ends its block on a byte boundary, and what it compresses next refers to nothing
    // before this point.
    if (auto flushed = deflate_and_write({}, Z_FULL_FLUSH); !flushed) return flushed;
    own_block_last_ = true;
    held_bits_ = 0;
    held_count_ = 0;
  }
  const std::uint64_t literals = 1 + (count - 1) % 258;
  std::uint64_t copy_bits = (count - literals) / 258 * 2;
  BitWriter bits{{}, held_bits_, held_count_};
  put_zero_block_header(bits);
  for (std::uint64_t i = 0; i < literals; ++i) bits.put(kLiteralZero, 2);
  // Whole zero bytes once the bits so far fill their last byte.
  const auto fill = static_cast<int>(std::min<std::uint64_t>(copy_bits, (8 - bits.count) % 8));
  bits.put(0, fill);
  copy_bits -= fill;
  if (auto wrote = put(bits.bytes); !wrote) return wrote;
  if (auto wrote = put_zeros(copy_bits / 8); !wrote) return wrote;
  bits.bytes.clear();
  bits.put(0, static_cast<int>(copy_bits % 8));
  bits.put(kEndOfBlock, 2);
  if (auto wrote = put(bits.bytes); !wrote) return wrote;
  held_bits_ = bits.bits;
  held_count_ = bits.count;
  crc_ = crc_after_zeros(crc_, count);
  size_ += count;
  return {};
}

Result<> GzipWriter::set_level(int level) {
  if (level == level_) return {};
  level_ = level;
  // Before the first write, the level is simply set when the stream starts.
  if (!initialised_) return {};
  // zlib first compresses what it holds with the old level (deflate with Z_BLOCK), which may
  // need more than one buffer of output: Z_BUF_ERROR asks for another call.
  for (;;) {
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    const int code = deflateParams(&stream_, level, Z_DEFAULT_STRATEGY);
    if (auto written = write_out(); !written) return written;
    if (code == Z_OK) return {};
    if (code != Z_BUF_ERROR) return std::unexpected(zlib_error(code, stream_));
  }
}

Result<> GzipWriter::finish() {
  if (auto ended = deflate_and_write({}, Z_FINISH); !ended) return ended;
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
