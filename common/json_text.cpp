#include "common/json_text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace common {

namespace {

using nlohmann::json;

// The bytes of the text, for the parser (through ByteRange) and for the passes that find an
// error's position: a text in memory, or the first `size` bytes of a seekable descriptor from
// where it stood, read in chunks so that only one chunk is held. Every pass starts with
// rewind(). A read error ends the input early and is kept.
class ByteSource {
 public:
  explicit ByteSource(std::string_view text) : text_(text), size_(text.size()) {}
  ByteSource(int fd, std::uint64_t size)
      : fd_(fd), size_(size), start_(::lseek(fd, 0, SEEK_CUR)), chunk_(kChunkSize) {
    if (start_ < 0) error_ = Error::from_errno(errno);
  }

  // Back to the first byte; false once reading has failed.
  bool rewind() {
    offset_ = 0;
    if (error_) return false;
    if (fd_ >= 0 && ::lseek(fd_, start_, SEEK_SET) < 0) error_ = Error::from_errno(errno);
    return !error_;
  }

  // The next piece of the text, empty at its end or once reading has failed.
  std::string_view next_chunk() {
    std::string_view chunk;
    if (error_ || offset_ >= size_) return chunk;
    if (fd_ < 0) {
      chunk = text_;
    } else {
      chunk = read_chunk(
          static_cast<std::size_t>(std::min<std::uint64_t>(size_ - offset_, chunk_.size())));
    }
    if (offset_ == 0) starts_with_bom_ = chunk.starts_with("\xEF\xBB\xBF");
    if (first_nul_ == kNone) {
      if (const auto nul = chunk.find('\0'); nul != std::string_view::npos) {
        first_nul_ = offset_ + nul;
      }
    }
    offset_ += chunk.size();
    return chunk;
  }

  // Whether the text begins with a byte-order mark (known once the first chunk is read).
  bool starts_with_bom() const { return starts_with_bom_; }
  // The offset of the first NUL byte of the chunks read so far, kNone when there is none.
  std::uint64_t first_nul() const { return first_nul_; }
  const std::optional<Error>& error() const { return error_; }

  static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  // Fills the chunk with `want` bytes, or fewer at an early end of the file, so that chunks
  // end at the same offsets in every pass.
  std::string_view read_chunk(std::size_t want) {
    std::size_t filled = 0;
    while (filled < want) {
      const ssize_t n = ::read(fd_, chunk_.data() + filled, want - filled);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = Error::from_errno(errno);
        return {};
      }
      if (n == 0) break;
      filled += static_cast<std::size_t>(n);
    }
    return {chunk_.data(), filled};
  }

  std::string_view text_;
  int fd_ = -1;
  std::uint64_t size_;
  off_t start_ = 0;
  std::vector<char> chunk_;
  std::uint64_t offset_ = 0;  // where the next chunk starts
  bool starts_with_bom_ = false;
  std::uint64_t first_nul_ = kNone;
  std::optional<Error> error_;
};

// The text as the library's iterator input reads it, one byte at a time from the chunks of a
// ByteSource. (A std::istream would do too, but would link the whole of iostream's locale
// machinery into the static binary.) Only comparing with the end is meaningful.
class ByteIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ByteIterator() = default;  // the end
  explicit ByteIterator(ByteSource* source) : source_(source) { fill(); }

  reference operator*() const { return *next_; }
  ByteIterator& operator++() {
    if (++next_ == end_) fill();
    return *this;
  }
  ByteIterator operator++(int) {
    ByteIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const ByteIterator& other) const {
    return (source_ == nullptr) == (other.source_ == nullptr);
  }

 private:
  void fill() {
    const std::string_view chunk = source_->next_chunk();
    next_ = chunk.data();
    end_ = next_ + chunk.size();
    if (chunk.empty()) source_ = nullptr;
  }

  ByteSource* source_ = nullptr;
  const char* next_ = nullptr;
  const char* end_ = nullptr;
};

struct ByteRange {
  ByteSource* source;
  ByteIterator begin() const { return ByteIterator(source); }
  ByteIterator end() const { return {}; }
};

// Line (1-based) and column (bytes read on that line, 0 when none) after `consumed` bytes.
std::string position_text(ByteSource& source, std::uint64_t consumed) {
  std::uint64_t line = 1;
  std::uint64_t line_start = 0;
  std::uint64_t offset = 0;
  source.rewind();
  while (offset < consumed) {
    std::string_view chunk = source.next_chunk();
    if (chunk.empty()) break;
    chunk = chunk.substr(
        0, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), consumed - offset)));
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      if (chunk[i] == '\n') {
        ++line;
        line_start = offset + i + 1;
      }
    }
    offset += chunk.size();
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start);
}

// Offset just past the bracket that opens the `kJsonMaxDepth`-th level. Only called once the
// parser has stopped there, so everything before it is valid JSON.
std::uint64_t too_deep_offset(ByteSource& source) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;  // the byte before was a backslash inside a string
  std::uint64_t offset = 0;
  source.rewind();
  for (;;) {
    const std::string_view chunk = source.next_chunk();
    if (chunk.empty()) return offset;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      const char c = chunk[i];
      if (in_string) {
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '"') {
          in_string = false;
        }
      } else if (c == '"') {
        in_string = true;
      } else if (c == '[' || c == '{') {
        if (++depth == kJsonMaxDepth) return offset + i + 1;
      } else if (c == ']' || c == '}') {
        --depth;
      }
    }
    offset += chunk.size();
  }
}

// The library's messages read "[json.exception.<kind>.<id>] <text>", and a parse error's text
// is "parse error at line L, column C: <description>". Only the description is kept; the
// position is reported in our own form.
std::string library_description(std::string_view message) {
  if (message.starts_with('[')) {
    const auto close = message.find("] ");
    if (close != std::string_view::npos) message.remove_prefix(close + 2);
  }
  if (message.starts_with("parse error")) {
    const auto colon = message.find(": ");
    if (colon != std::string_view::npos) message.remove_prefix(colon + 2);
  }
  return std::string(message);
}

// Follows the parse through the library's public SAX interface without building anything: it
// counts the nesting depth, stopping at the limit, keeps the parse error instead of throwing it,
// and keeps only the string at `outer` → `inner` of the top-level object.
class NestedStringFinder : public nlohmann::json_sax<json> {
 public:
  NestedStringFinder(std::string_view outer, std::string_view inner)
      : outer_(outer), inner_(inner) {}

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t& value) override {
    if (begin_value() == Slot::kInner) found_ = std::move(value);
    return true;
  }

  bool start_object(std::size_t) override { return open(); }
  bool key(string_t& name) override {
    if (depth_ == 1) {
      next_ = name == outer_ ? Slot::kOuter : Slot::kNone;
    } else if (depth_ == 2 && in_outer_) {
      next_ = name == inner_ ? Slot::kInner : Slot::kNone;
    }
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t position, const std::string&,
                   const json::exception& error) override {
    error_position_ = position;
    error_message_ = error.what();
    return false;
  }

  std::optional<std::string> take_found() { return std::move(found_); }
  bool too_deep() const { return too_deep_; }
  std::size_t error_position() const { return error_position_; }
  const std::string& error_message() const { return error_message_; }

 private:
  // What the value that starts now is: the top-level member `outer`, the member `inner` of
  // that, or anything else.
  enum class Slot { kNone, kOuter, kInner };

  // A value at either key replaces what an earlier duplicate gave.
  Slot begin_value() {
    const Slot slot = std::exchange(next_, Slot::kNone);
    if (slot != Slot::kNone) found_.reset();
    return slot;
  }
  bool scalar() {
    begin_value();
    return true;
  }
  bool open() {
    const Slot slot = begin_value();
    if (depth_ + 1 >= kJsonMaxDepth) {
      too_deep_ = true;
      return false;
    }
    // Keys at depth 2 belong to the object opened last at depth 1, so this never goes stale.
    if (depth_ == 1) in_outer_ = slot == Slot::kOuter;
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::string_view outer_;
  std::string_view inner_;
  std::size_t depth_ = 0;  // arrays and objects open
  bool in_outer_ = false;  // the container open at depth 2 is the value at `outer`
  Slot next_ = Slot::kNone;
  std::optional<std::string> found_;
  bool too_deep_ = false;
  std::size_t error_position_ = 0;
  std::string error_message_;
};

// The error `description` at the position after `consumed` bytes, or the error of reading the
// text again to find that position.
std::unexpected<Error> fail_at(ByteSource& source, std::string description,
                               std::uint64_t consumed) {
  description += position_text(source, consumed);
  if (source.error()) return std::unexpected(*source.error());
  return fail(ErrorKind::kInvalidData, std::move(description));
}

// The parse pass, then the passes that find the position of an error.
Result<std::optional<std::string>> find_in(ByteSource& source, std::string_view outer,
                                           std::string_view inner) {
  NestedStringFinder finder(outer, inner);
  source.rewind();
  const bool ok =
      json::sax_parse(ByteRange{&source}, &finder, json::input_format_t::json, true, false);
  if (source.error()) return std::unexpected(*source.error());
  // The library skips a byte-order mark; as it is not whitespace, it is an error here.
  if (source.starts_with_bom()) {
    return fail_at(source,
                   "syntax error while parsing value - invalid literal; last read: '<U+FEFF>'", 1);
  }
  // Outside a string the library reads a NUL byte as the end of the input (inside one it is
  // already an error). Unless the parser failed before reaching it, the NUL is the error. A
  // parse that succeeds has read the text up to its end or to its first NUL, and one that
  // fails past a NUL has read that far, so the chunks read show the first NUL when it counts.
  const auto nul = source.first_nul();
  const bool stopped_at_nul =
      finder.error_position() > nul && finder.error_message().find("U+0000") == std::string::npos;
  if (nul != ByteSource::kNone && (ok || stopped_at_nul)) {
    return fail_at(source,
                   "syntax error while parsing value - invalid literal; last read: '<U+0000>'",
                   nul + 1);
  }
  if (ok) return finder.take_found();
  if (finder.too_deep()) {
    return fail_at(source, "recursion limit exceeded", too_deep_offset(source));
  }
  return fail_at(source, library_description(finder.error_message()), finder.error_position());
}

}  // namespace

Result<std::optional<std::string>> find_nested_string_strict(std::string_view text,
                                                             std::string_view outer,
                                                             std::string_view inner) {
  ByteSource source(text);
  return find_in(source, outer, inner);
}

Result<std::optional<std::string>> find_nested_string_strict(int fd, std::uint64_t size,
                                                             std::string_view outer,
                                                             std::string_view inner) {
  ByteSource source(fd, size);
  return find_in(source, outer, inner);
}

}  // namespace common
