// A streaming gzip writer over a file descriptor: one gzip member with a fixed header (no
// name, no time stamp, OS 255), DEFLATE at level 6, CRC-32 and length trailer. Memory stays
// bounded whatever goes through it. The level can be lowered for a stretch of data that is
// already compressed (see set_level); runs of zeros (what makes up for a file that shrank,
// holes past a sparse member's map) are compressed whatever the level (see write_zeros). Each
// piece of output is written only where it leaves the disk margin (disk_margin.h): else ENOSPC.
//
// zlib writes raw DEFLATE and the gzip header and trailer are ours: a long run of zeros then
// goes into the stream as a DEFLATE block of our own between zlib's blocks, with its CRC-32
// computed rather than summed byte by byte.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "common/error.h"

namespace common::archive {

inline constexpr int kDefaultLevel = 6;

class GzipWriter {
 public:
  // Does not own `fd`. zlib keeps pointers into this object, so it never moves.
  explicit GzipWriter(int fd);
  GzipWriter(GzipWriter&&) = delete;
  GzipWriter& operator=(GzipWriter&&) = delete;
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;
  ~GzipWriter();

  Result<> write(std::string_view data);
  // `count` zero bytes, compressed at any level: a run of 1 MiB or more (any run at level 0)
  // is a block of our own, a few bytes per kilobyte and no zlib work at all.
  Result<> write_zeros(std::uint64_t count);
  // Compresses what follows at `level` (0 stores, kDefaultLevel is level 6). What was written
  // before is compressed at the earlier level; the stream stays one DEFLATE stream.
  Result<> set_level(int level);
  // Ends the DEFLATE stream and writes the trailer. Nothing may be written after it.
  Result<> finish();

 private:
  Result<> start();
  Result<> deflate_and_write(std::string_view data, int flush);
  Result<> zero_block(std::uint64_t count);
  Result<> put(std::string_view bytes);
  Result<> put_zeros(std::uint64_t count);
  Result<> write_out();

  int fd_;
  z_stream stream_{};
  bool initialised_ = false;
  int level_ = kDefaultLevel;
  uLong crc_ = 0;
  std::uint64_t size_ = 0;
  // The stream ends with a block of our own, whose last bits (fewer than 8) zlib has not yet
  // been given.
  bool own_block_last_ = false;
  unsigned held_bits_ = 0;
  int held_count_ = 0;
  // Not zero-filled: written before anything is read from it. Between calls it holds at most
  // bytes of our own that zlib's next output follows.
  std::unique_ptr<unsigned char[]> out_;
};

}  // namespace common::archive
