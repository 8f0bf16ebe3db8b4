#include "common/collectors/json_escape.h"

#include <utility>

namespace common::collectors {

namespace {

constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kEndOfHexEscape = "unexpected end of hex escape";

int hex_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte a one-letter escape stands for; 0 when the letter is no escape.
char unescaped(unsigned char c) {
  constexpr std::string_view kLetters = "\"\\/bfnrt";
  constexpr std::string_view kBytes = "\"\\/\b\f\n\r\t";
  const auto at = kLetters.find(static_cast<char>(c));
  return at == std::string_view::npos ? 0 : kBytes[at];
}

}  // namespace

JsonEscape::Step JsonEscape::take(unsigned char c, JsonPosition after) {
  switch (state_) {
    case State::kLetter:
      if (c == 'u') {
        state_ = State::kHex;
        return Step::kMore;
      }
      if (const char decoded = unescaped(c); decoded != 0) {
        bytes_[0] = decoded;
        size_ = 1;
        return Step::kDecoded;
      }
      return faulted(kInvalidEscape, after);
    case State::kHex:
      return take_hex_digit(c, after);
    case State::kSurrogateBackslash:
    case State::kSurrogateU: {
      const bool backslash = state_ == State::kSurrogateBackslash;
      if (c != (backslash ? '\\' : 'u')) return faulted(kEndOfHexEscape, after);
      state_ = backslash ? State::kSurrogateU : State::kHex;
      return Step::kMore;
    }
  }
  return Step::kMore;
}

// The four digits are read whole before a bad one counts (fewer before the end of the input
// are the reader's end-of-string fault), but a bad one is reported where it stands.
JsonEscape::Step JsonEscape::take_hex_digit(unsigned char c, JsonPosition after) {
  const int value = hex_digit(c);
  if (value < 0 && !bad_hex_at_) bad_hex_at_ = after;
  hex_value_ = hex_value_ * 16 + static_cast<std::uint32_t>(value < 0 ? 0 : value);
  if (++hex_count_ < 4) return Step::kMore;
  if (bad_hex_at_) return faulted(kInvalidEscape, *bad_hex_at_);
  const std::uint32_t unit = std::exchange(hex_value_, 0);
  hex_count_ = 0;
  const bool leading = unit >= 0xD800 && unit <= 0xDBFF;
  const bool trailing = unit >= 0xDC00 && unit <= 0xDFFF;
  if (high_surrogate_ != 0) {
    if (!trailing) return faulted(kLoneSurrogate, after);
    return decoded_as(0x10000 + ((high_surrogate_ - 0xD800) << 10) + (unit - 0xDC00));
  }
  if (trailing) return faulted(kLoneSurrogate, after);
  if (!leading) return decoded_as(unit);
  high_surrogate_ = unit;
  state_ = State::kSurrogateBackslash;
  return Step::kMore;
}

// UTF-8: a lead byte of 1, 2, 3 or 4 bytes' length, then 6 bits in each continuation byte.
JsonEscape::Step JsonEscape::decoded_as(std::uint32_t code_point) {
  size_ = code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  for (std::size_t i = size_ - 1; i > 0; --i, code_point >>= 6) {
    bytes_[i] = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  bytes_[0] = static_cast<char>(size_ == 1 ? code_point : (0xF00 >> size_) | code_point);
  return Step::kDecoded;
}

JsonEscape::Step JsonEscape::faulted(const char* description, JsonPosition at) {
  fault_ = {description, at};
  return Step::kFault;
}

}  // namespace common::collectors
