#include "common/utf8.h"

#include <cstdint>

namespace common {

namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Whether `second` may follow the lead byte `first`: excludes overlong forms, surrogates and
// code points above U+10FFFF at the earliest byte that shows them.
bool valid_second_byte(std::uint8_t first, std::uint8_t second) {
  if (first == 0xE0) return second >= 0xA0 && second <= 0xBF;
  if (first == 0xED) return second >= 0x80 && second <= 0x9F;
  if (first == 0xF0) return second >= 0x90 && second <= 0xBF;
  if (first == 0xF4) return second >= 0x80 && second <= 0x8F;
  return is_continuation(second);
}

std::size_t sequence_width(std::uint8_t first) {
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) return 2;
  if (first >= 0xE0 && first <= 0xEF) return 3;
  if (first >= 0xF0 && first <= 0xF4) return 4;
  return 0;
}

// Checks the sequence at `pos`. Returns its width, or the error at that position.
std::optional<Utf8Error> check_at(std::string_view bytes, std::size_t pos, std::size_t& width) {
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[pos + i]); };
  width = sequence_width(at(0));
  if (width == 1) return std::nullopt;
  if (width == 0) return Utf8Error{pos, 1};
  for (std::size_t i = 1; i < width; ++i) {
    if (pos + i >= bytes.size()) return Utf8Error{pos, std::nullopt};
    const bool ok = i == 1 ? valid_second_byte(at(0), at(1)) : is_continuation(at(i));
    if (!ok) return Utf8Error{pos, i};
  }
  return std::nullopt;
}

}  // namespace

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t width = 0;
    if (auto error = check_at(bytes, pos, width)) return error;
    pos += width;
  }
  return std::nullopt;
}

std::string utf8_error_text(const Utf8Error& error) {
  if (error.error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
}

std::optional<Utf8Error> Utf8Stream::feed(std::string_view piece) {
  if (error_) return error_;
  // Only the few bytes of a split sequence are checked joined to the next piece.
  while (!pending_.empty() && !piece.empty()) {
    pending_ += piece.front();
    piece.remove_prefix(1);
    const auto error = validate_utf8(pending_);
    if (!error) {
      offset_ += pending_.size();
      pending_.clear();
    } else if (error->error_len) {
      error_ = Utf8Error{offset_ + error->valid_up_to, error->error_len};
      return error_;
    }
  }
  if (piece.empty()) return std::nullopt;
  const auto error = validate_utf8(piece);
  if (error && error->error_len) {
    error_ = Utf8Error{offset_ + error->valid_up_to, error->error_len};
    return error_;
  }
  const std::size_t valid = error ? error->valid_up_to : piece.size();
  offset_ += valid;
  pending_ = piece.substr(valid);
  return std::nullopt;
}

std::optional<Utf8Error> Utf8Stream::finish() {
  if (!error_ && !pending_.empty()) error_ = Utf8Error{offset_, std::nullopt};
  return error_;
}

std::string to_utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto error = validate_utf8(bytes);
    if (!error) {
      text += bytes;
      break;
    }
    text += bytes.substr(0, error->valid_up_to);
    text += "\xEF\xBF\xBD";
    if (!error->error_len) break;
    bytes.remove_prefix(error->valid_up_to + *error->error_len);
  }
  return text;
}

}  // namespace common
