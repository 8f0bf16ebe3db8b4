// A streaming gzip writer over a file descriptor: one gzip member with a fixed header (no
// name, no time stamp, OS 255), DEFLATE at level 6, CRC-32 and length trailer. Memory stays
// bounded whatever goes through it.
#pragma once

#include <zlib.h>

#include <span>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace common::archive {

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
  // Ends the DEFLATE stream and writes the trailer. Nothing may be written after it.
  Result<> finish();

 private:
  Result<> deflate_and_write(std::string_view data, int flush);

  int fd_;
  z_stream stream_{};
  gz_header header_{};
  bool initialised_ = false;
  std::vector<unsigned char> out_;
};

}  // namespace common::archive
