// A streaming gzip writer over a file descriptor: one gzip member with a fixed header (no
// name, no time stamp, OS 255), DEFLATE at level 6, CRC-32 and length trailer. Memory stays
// bounded whatever goes through it. The level can be lowered for a stretch of data that is
// already compressed (see set_level).
#pragma once

#include <zlib.h>

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
  // Compresses what follows at `level` (0 stores, kDefaultLevel is level 6). What was written
  // before is compressed at the earlier level; the stream stays one DEFLATE stream.
  Result<> set_level(int level);
  // Ends the DEFLATE stream and writes the trailer. Nothing may be written after it.
  Result<> finish();

 private:
  Result<> start();
  Result<> deflate_and_write(std::string_view data, int flush);
  Result<> write_out();

  int fd_;
  z_stream stream_{};
  gz_header header_{};
  bool initialised_ = false;
  int level_ = kDefaultLevel;
  // Not zero-filled: zlib writes before anything is read from it.
  std::unique_ptr<unsigned char[]> out_;
};

}  // namespace common::archive
