#include "common/archive/gzip_writer.h"

#include <limits>

#include "common/file_io.h"

namespace common::archive {

namespace {

constexpr int kLevel = 6;
constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip wrapper
constexpr int kMemLevel = 8;
constexpr std::size_t kOutputBufferSize = 256 * 1024;

Error zlib_error(int code, const z_stream& stream) {
  return Error(ErrorKind::kOther, stream.msg != nullptr
                                      ? stream.msg
                                      : "compression failed (" + std::to_string(code) + ")");
}

}  // namespace

GzipWriter::GzipWriter(int fd) : fd_(fd), out_(kOutputBufferSize) {}

GzipWriter::~GzipWriter() {
  if (initialised_) deflateEnd(&stream_);
}

Result<> GzipWriter::deflate_and_write(std::string_view data, int flush) {
  if (!initialised_) {
    const int init =
        deflateInit2(&stream_, kLevel, Z_DEFLATED, kGzipWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
    if (init != Z_OK) return std::unexpected(zlib_error(init, stream_));
    initialised_ = true;
    // Time 0, OS 255, no name or comment: the header is the same on every run and host.
    header_.time = 0;
    header_.os = 255;
    const int set = deflateSetHeader(&stream_, &header_);
    if (set != Z_OK) return std::unexpected(zlib_error(set, stream_));
  }
  do {
    // avail_in is 32 bits wide: feed very large buffers in slices.
    const std::size_t slice = std::min<std::size_t>(data.size(), std::numeric_limits<uInt>::max());
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(slice);
    const int slice_flush = slice == data.size() ? flush : Z_NO_FLUSH;
    int code;
    do {
      stream_.next_out = out_.data();
      stream_.avail_out = static_cast<uInt>(out_.size());
      code = deflate(&stream_, slice_flush);
      if (code == Z_STREAM_ERROR) return std::unexpected(zlib_error(code, stream_));
      const std::size_t produced = out_.size() - stream_.avail_out;
      if (auto written =
              write_all(fd_, std::string_view(reinterpret_cast<char*>(out_.data()), produced));
          !written) {
        return written;
      }
    } while (stream_.avail_out == 0 || (slice_flush == Z_FINISH && code != Z_STREAM_END));
    data.remove_prefix(slice);
  } while (!data.empty());
  return {};
}

Result<> GzipWriter::write(std::string_view data) {
  if (data.empty()) return {};
  return deflate_and_write(data, Z_NO_FLUSH);
}

Result<> GzipWriter::finish() { return deflate_and_write({}, Z_FINISH); }

}  // namespace common::archive
