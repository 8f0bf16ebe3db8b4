#include "common/archive/deflate_block.h"

#include <algorithm>
#include <cstring>

namespace common::archive {

namespace {

constexpr int kRawWindowBits = -15;  // 32 KiB window, no wrapper: the gzip one is ours
constexpr int kMemLevel = 8;
// Room for any block: level 6 never grows one by more than a few bytes per 16 KiB (zlib's
// deflateBound), the sync flush adds an empty stored block, a stored block 5 bytes per 64 KiB.
constexpr std::size_t kOutputCapacity = kDeflateBlock + 4096;
// Between two slices a worker sees that its block was taken from it.
constexpr std::size_t kSlice = 32 * 1024;

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

BlockInput::BlockInput()
    : bytes(std::make_unique_for_overwrite<unsigned char[]>(kDictionary + kDeflateBlock)) {}

void BlockInput::follow(const BlockInput& before) {
  const std::size_t total = before.dictionary + before.size;
  dictionary = std::min(total, kDictionary);
  std::memcpy(bytes.get(), before.bytes.get() + total - dictionary, dictionary);
  size = 0;
  last = false;
  prime_bits = 0;
  prime_count = 0;
}

void BlockInput::follow_zeros(std::uint64_t count) {
  if (count >= kDictionary) {
    std::memset(bytes.get(), 0, kDictionary);
    dictionary = kDictionary;
    return;
  }
  const auto zeros = static_cast<std::size_t>(count);
  const std::size_t keep = std::min(dictionary, kDictionary - zeros);
  std::memmove(bytes.get(), bytes.get() + dictionary - keep, keep);
  std::memset(bytes.get() + keep, 0, zeros);
  dictionary = keep + zeros;
}

BlockOutput::BlockOutput()
    : bytes(std::make_unique_for_overwrite<unsigned char[]>(kOutputCapacity)) {}

Deflater::~Deflater() {
  if (initialised_) deflateEnd(&stream_);
}

bool Deflater::init() {
  initialised_ = deflateInit2(&stream_, level_, Z_DEFLATED, kRawWindowBits, kMemLevel,
                              Z_DEFAULT_STRATEGY) == Z_OK;
  return initialised_;
}

bool Deflater::reset(int level) {
  if (deflateReset(&stream_) != Z_OK) return false;
  // Right after a reset nothing is pending: the new level applies from the first byte.
  if (level != level_ && deflateParams(&stream_, level, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  level_ = level;
  return true;
}

void compress_block(const BlockInput& in, BlockOutput& out, Deflater& deflater,
                    const std::atomic<bool>* abandoned) {
  out.size = 0;
  out.error = 0;
  // Null data would restart the CRC.
  out.crc = in.size > 0 ? crc32_z(0, in.data(), in.size) : 0;
  // Stored: written straight from the input (stored_pieces).
  if (in.level == 0) return;
  z_stream& stream = deflater.stream();
  if (!deflater.reset(in.level)) {
    out.error = Z_STREAM_ERROR;
    return;
  }
  int code = Z_OK;
  if (in.prime_count > 0)
    code = deflatePrime(&stream, in.prime_count, static_cast<int>(in.prime_bits));
  if (code == Z_OK && in.dictionary > 0) {
    code = deflateSetDictionary(&stream, in.bytes.get(), static_cast<uInt>(in.dictionary));
  }
  if (code != Z_OK) {
    out.error = code;
    return;
  }
  stream.next_out = out.bytes.get();
  stream.avail_out = static_cast<uInt>(kOutputCapacity);
  // Every thread slices alike, so zlib is given the same calls whichever compresses the block.
  std::size_t done = 0;
  for (;;) {
    if (abandoned != nullptr && abandoned->load(std::memory_order_relaxed)) {
      out.error = kAbandoned;
      return;
    }
    const std::size_t n = std::min(in.size - done, kSlice);
    const bool final_slice = done + n == in.size;
    const int flush = !final_slice ? Z_NO_FLUSH : in.last ? Z_FINISH : Z_SYNC_FLUSH;
    stream.next_in = const_cast<Bytef*>(in.data() + done);
    stream.avail_in = static_cast<uInt>(n);
    code = deflate(&stream, flush);
    // With room for the whole block, one call takes the slice and writes what it gives.
    if (stream.avail_in != 0 || stream.avail_out == 0 || code == Z_STREAM_ERROR ||
        (flush == Z_FINISH && code != Z_STREAM_END)) {
      out.error = code == Z_OK ? Z_BUF_ERROR : code;
      return;
    }
    done += n;
    if (final_slice) break;
  }
  out.size = kOutputCapacity - stream.avail_out;
}

Result<> stored_pieces(const BlockInput& in, const StoredPiece& piece) {
  std::size_t done = 0;
  unsigned bits = in.prime_bits;
  int count = in.prime_count;
  do {
    const std::size_t n = std::min<std::size_t>(in.size - done, 65535);
    const bool final = in.last && done + n == in.size;
    char header[6];
    std::size_t length = 0;
    // Three header bits (final, type 00), then up to the next byte boundary.
    bits |= (final ? 1u : 0u) << count;
    for (count += 3; count > 0; count -= 8, bits >>= 8) {
      header[length++] = static_cast<char>(bits & 0xff);
    }
    bits = 0;
    count = 0;
    for (const std::size_t field : {n, ~n}) {
      header[length++] = static_cast<char>(field & 0xff);
      header[length++] = static_cast<char>((field >> 8) & 0xff);
    }
    const std::string_view data(reinterpret_cast<const char*>(in.data()) + done, n);
    if (auto given = piece({header, length}, data); !given) return given;
    done += n;
  } while (done < in.size);
  return {};
}

// The zeros are literals up to the first multiple of 258 (at least one: a copy at distance 1
// repeats the byte before it), then copies of 258: about 1000 zeros per output byte, whose
// bytes past the header are all zero.
ZeroRun zero_run(std::uint64_t count, unsigned& held_bits, int& held_count) {
  ZeroRun run;
  run.count = count;
  const std::uint64_t literals = 1 + (count - 1) % 258;
  std::uint64_t copy_bits = (count - literals) / 258 * 2;
  BitWriter bits{{}, held_bits, held_count};
  put_zero_block_header(bits);
  for (std::uint64_t i = 0; i < literals; ++i) bits.put(kLiteralZero, 2);
  // Whole zero bytes once the bits so far fill their last byte.
  const auto fill = static_cast<int>(std::min<std::uint64_t>(copy_bits, (8 - bits.count) % 8));
  bits.put(0, fill);
  copy_bits -= fill;
  run.head = std::move(bits.bytes);
  run.zero_bytes = copy_bits / 8;
  bits.bytes.clear();
  bits.put(0, static_cast<int>(copy_bits % 8));
  bits.put(kEndOfBlock, 2);
  run.tail = std::move(bits.bytes);
  held_bits = bits.bits;
  held_count = bits.count;
  return run;
}

}  // namespace common::archive
