// A streaming gzip writer over a file descriptor: one gzip member with a fixed header (no
// name, no time stamp, OS 255), DEFLATE at level 6, CRC-32 and length trailer. Memory stays
// bounded whatever goes through it. The level can be lowered for a stretch of data that is
// already compressed (see set_level); runs of zeros (what makes up for a file that shrank,
// holes past a sparse member's map) are compressed whatever the level (see write_zeros). Each
// piece of output is written only where it leaves the disk margin (disk_margin.h): else ENOSPC.
//
// The data is cut into blocks of 128 KiB, compressed on every CPU the process may use
// (deflate_pool.h) and each ended on a byte boundary; a level change ends a block early. The
// cut depends on what is written alone, so the bytes are the same on one CPU or many. zlib
// writes raw DEFLATE and the gzip header and trailer are ours: a long run of zeros goes into
// the stream as a DEFLATE block of our own between the compressed blocks, with its CRC-32
// computed rather than summed byte by byte.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "common/archive/deflate_pool.h"
#include "common/error.h"

namespace common::archive {

inline constexpr int kDefaultLevel = 6;

class GzipWriter : private DeflateSink {
 public:
  // Does not own `fd`. `workers`: how many threads compress besides the caller's, at most; by
  // default one per CPU the process may use, less one.
  explicit GzipWriter(int fd, std::optional<unsigned> workers = std::nullopt);
  GzipWriter(GzipWriter&&) = delete;
  GzipWriter& operator=(GzipWriter&&) = delete;
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;
  ~GzipWriter() = default;

  Result<> write(std::string_view data);
  // `count` zero bytes, compressed at any level: a run of 1 MiB or more (any run at level 0)
  // is a block of our own, a few bytes per kilobyte and no zlib work at all.
  Result<> write_zeros(std::uint64_t count);
  // Compresses what follows at `level` (0 stores, kDefaultLevel is level 6). What was written
  // before is compressed at the earlier level; the stream stays one DEFLATE stream.
  Result<> set_level(int level);
  // Ends the DEFLATE stream and writes the trailer. Nothing may be written after it.
  Result<> finish();

  // The threads that compressed besides the caller's.
  unsigned workers() const { return pool_.workers(); }

 private:
  Result<> block(const BlockInput& in, const BlockOutput& out) override;
  Result<> zeros(const ZeroRun& run) override;
  Result<> push_block(bool last);
  Result<> put(std::string_view bytes);
  Result<> put_large(std::string_view bytes);
  Result<> put_zeros(std::uint64_t count);
  Result<> write_out();

  int fd_;
  int level_ = kDefaultLevel;
  uLong crc_ = 0;
  std::uint64_t size_ = 0;
  // The last bits (fewer than 8) of a block of our own, which the next piece begins with.
  unsigned held_bits_ = 0;
  int held_count_ = 0;
  // Not zero-filled: written before anything is read from it.
  std::unique_ptr<unsigned char[]> out_;
  std::size_t out_size_ = 0;
  // Last: its workers are stopped before anything they may be reading goes.
  DeflatePool pool_;
};

}  // namespace common::archive
