// The pieces one DEFLATE stream is made of when it is compressed on several threads: blocks of
// at most kDeflateBlock bytes, each compressed on its own with the 32 KiB before it as its
// dictionary and ended on a byte boundary (a sync flush; the last one ends the stream), and
// runs of zeros written as DEFLATE blocks of our own. A block's bytes depend on its input alone,
// never on the thread that compresses it, so the stream is the same whatever the number of
// threads and their timing.
#pragma once

#include <zlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"

namespace common::archive {

inline constexpr std::size_t kDeflateBlock = 128 * 1024;
inline constexpr std::size_t kDictionary = 32 * 1024;  // DEFLATE's window

// What one block is compressed from.
struct BlockInput {
  BlockInput();

  unsigned char* data() { return bytes.get() + dictionary; }
  const unsigned char* data() const { return bytes.get() + dictionary; }
  // Empties the block and takes the last 32 KiB of `before` (its dictionary and data) as
  // dictionary.
  void follow(const BlockInput& before);
  // For an empty block: `count` zeros come between the dictionary and the block.
  void follow_zeros(std::uint64_t count);

  int level = 6;  // 0 stores
  bool last = false;
  // Bits (fewer than 8) that the stream's previous piece left unwritten, which come first.
  unsigned prime_bits = 0;
  int prime_count = 0;
  std::size_t dictionary = 0;
  std::size_t size = 0;
  // The dictionary, then the block's data; kDictionary + kDeflateBlock bytes.
  std::unique_ptr<unsigned char[]> bytes;
};

struct BlockOutput {
  BlockOutput();

  std::size_t size = 0;
  uLong crc = 0;  // CRC-32 of the block's data
  int error = 0;  // a zlib code when compressing failed or was abandoned
  std::unique_ptr<unsigned char[]> bytes;
};

// One raw DEFLATE stream state, reset for each block; always ended.
class Deflater {
 public:
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater();

  // Allocates zlib's state; false when there is no memory for it.
  bool init();
  bool initialised() const { return initialised_; }
  // Ready for a new block at `level` (not 0).
  bool reset(int level);
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool initialised_ = false;
  int level_ = 6;
};

inline constexpr int kAbandoned = 1000;  // BlockOutput::error when `abandoned` stopped the work

// Compresses `in` into `out`, or for level 0 only takes its CRC-32 (see stored_pieces). Checks
// `abandoned` (when given) between slices of the input and stops with out.error == kAbandoned once
// it is set. `deflater` must be initialised.
void compress_block(const BlockInput& in, BlockOutput& out, Deflater& deflater,
                    const std::atomic<bool>* abandoned);

// A level-0 block as stored blocks (RFC 1951, 3.2.4) of at most 65,535 bytes, each given to
// `piece` as its header (with the bits the block is primed with) and its data, which are the
// input's own: stored data is never copied to an output block. They end on a byte boundary,
// as a sync flush would; an empty block is one empty stored block.
using StoredPiece = std::function<Result<>(std::string_view header, std::string_view data)>;
Result<> stored_pieces(const BlockInput& in, const StoredPiece& piece);

// `count` zeros as one DEFLATE block of our own: `head`, then `zero_bytes` zero bytes, then
// `tail`. Its last bits (fewer than 8) are not in it: they are left in `held_bits` and
// `held_count`, which on entry hold those of the piece before.
struct ZeroRun {
  std::uint64_t count = 0;
  std::string head;
  std::uint64_t zero_bytes = 0;
  std::string tail;
};
ZeroRun zero_run(std::uint64_t count, unsigned& held_bits, int& held_count);

}  // namespace common::archive
