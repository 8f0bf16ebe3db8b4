#include "common/archive/gzip_writer.h"

#include <limits>

#include "common/file_io.h"

namespace common::archive {

namespace {

constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip wrapper
constexpr int kMemLevel = 8;
constexpr std::size_t kOutputBufferSize = 256 * 1024;

Error zlib_error(int code, const z_stream& stream) {
  return Error(stream.msg != nullptr ? stream.msg
                                     : "compression failed (" + std::to_string(code) + ")");
}

}  // namespace

GzipWriter::GzipWriter(int fd)
    : fd_(fd), out_(std::make_unique_for_overwrite<unsigned char[]>(kOutputBufferSize)) {}

GzipWriter::~GzipWriter() {
  if (initialised_) deflateEnd(&stream_);
}

Result<> GzipWriter::start() {
  const int init = deflateInit2(&stream_, kDefaultLevel, Z_DEFLATED, kGzipWindowBits, kMemLevel,
                                Z_DEFAULT_STRATEGY);
  if (init != Z_OK) return std::unexpected(zlib_error(init, stream_));
  initialised_ = true;
  // Time 0, OS 255, no name or comment: the header is the same on every run and host.
  header_.time = 0;
  header_.os = 255;
  const int set = deflateSetHeader(&stream_, &header_);
  if (set != Z_OK) return std::unexpected(zlib_error(set, stream_));
  if (level_ != kDefaultLevel) {
    const int params = deflateParams(&stream_, level_, Z_DEFAULT_STRATEGY);
    if (params != Z_OK) return std::unexpected(zlib_error(params, stream_));
  }
  return {};
}

// Writes what zlib has put in the output buffer and makes the whole buffer free again.
Result<> GzipWriter::write_out() {
  const std::size_t produced = kOutputBufferSize - stream_.avail_out;
  auto written = write_all(fd_, std::string_view(reinterpret_cast<char*>(out_.get()), produced));
  stream_.next_out = out_.get();
  stream_.avail_out = static_cast<uInt>(kOutputBufferSize);
  return written;
}

Result<> GzipWriter::deflate_and_write(std::string_view data, int flush) {
  if (!initialised_) {
    if (auto started = start(); !started) return started;
  }
  do {
    // avail_in is 32 bits wide: feed very large buffers in slices.
    const std::size_t slice = std::min<std::size_t>(data.size(), std::numeric_limits<uInt>::max());
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(slice);
    const int slice_flush = slice == data.size() ? flush : Z_NO_FLUSH;
    int code;
    bool output_full;
    do {
      stream_.next_out = out_.get();
      stream_.avail_out = static_cast<uInt>(kOutputBufferSize);
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
    stream_.next_out = out_.get();
    stream_.avail_out = static_cast<uInt>(kOutputBufferSize);
    const int code = deflateParams(&stream_, level, Z_DEFAULT_STRATEGY);
    if (auto written = write_out(); !written) return written;
    if (code == Z_OK) return {};
    if (code != Z_BUF_ERROR) return std::unexpected(zlib_error(code, stream_));
  }
}

Result<> GzipWriter::finish() { return deflate_and_write({}, Z_FINISH); }

}  // namespace common::archive
