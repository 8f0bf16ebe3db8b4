#include "common/collectors/log_setting.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "common/file_io.h"

namespace common::collectors {

namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListComma = "expected `,` or `]`";
constexpr const char* kExpectedObjectComma = "expected `,` or `}`";
constexpr const char* kKeyNotString = "key must be a string";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kTrailingCharacters = "trailing characters";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kNumberOutOfRange = "number out of range";
constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kEndOfHexEscape = "unexpected end of hex escape";
constexpr const char* kTooDeep = "recursion limit exceeded";

constexpr std::string_view kOuterKey = "logging";
constexpr std::string_view kInnerKey = "log_file";
constexpr std::size_t kKeyKept = kInnerKey.size() + 1;

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_digit(unsigned char c) {
  if (is_digit(c)) return c - '0';
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

// Whether value * 10 + digit exceeds `max`.
template <typename T>
bool overflows(T value, T digit, T max) {
  return value >= max / 10 && (value > max / 10 || digit > max % 10);
}

// Whether significand × 10^exponent, computed in doubles as the library does (so that the same
// values overflow), is infinite.
bool out_of_range(std::uint64_t significand, std::int32_t exponent) {
  static const std::array<double, 309> powers = [] {
    // Each power read from its decimal text is the nearest double, as a literal would be;
    // products of powers are not.
    std::array<double, 309> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
      table[i] = std::strtod(("1e" + std::to_string(i)).c_str(), nullptr);
    }
    return table;
  }();
  double value = static_cast<double>(significand);
  for (;;) {
    const std::uint64_t index =
        exponent < 0 ? -static_cast<std::int64_t>(exponent) : static_cast<std::uint64_t>(exponent);
    if (index < powers.size()) {
      return exponent >= 0 && std::isinf(value * powers[index]);
    }
    if (value == 0) return false;
    if (exponent >= 0) return true;
    value /= 1e308;
    exponent += 308;
  }
}

}  // namespace

enum class LogSettingReader::State : std::uint8_t {
  kValue,             // a value, after whitespace
  kArrayFirst,        // after "["
  kArrayNext,         // after an element
  kArrayAfterComma,   // after "," in an array
  kObjectFirst,       // after "{"
  kObjectNext,        // after a member's value
  kObjectAfterComma,  // after "," in an object
  kColon,             // after a key
  kEnd,               // after the top-level value
  kIdent,             // inside true, false or null
  kNumberStart,       // the first digit, after an optional "-"
  kNumberZero,        // after a leading 0
  kNumberInt,         // after an integer digit
  kFractionFirst,     // after "."
  kFraction,          // after a fraction digit
  kExponentStart,     // after "e" or "E"
  kExponentFirst,     // after the exponent's sign
  kExponent,          // after an exponent digit
  kString,
  kEscape,              // after "\" in a string
  kHex,                 // inside the four digits of "\u"
  kSurrogateBackslash,  // after a leading surrogate, wanting "\"
  kSurrogateU,          // wanting the "u" of its trailing surrogate
};

LogSettingReader::LogSettingReader() : state_(State::kValue) {}

void LogSettingReader::feed(std::string_view piece) {
  // Bad UTF-8 anywhere is the error, whatever the JSON holds: parsing stops there.
  if (utf8_.feed(piece)) return;
  std::size_t i = 0;
  while (i < piece.size() && !fault_) {
    if (state_ == State::kString) {
      const std::size_t run = take_string_run(piece.substr(i));
      position_.column += run;
      i += run;
      if (i == piece.size()) break;
    }
    const auto c = static_cast<unsigned char>(piece[i]);
    while (!take(c) && !fault_) {
    }
    if (fault_) break;
    position_ = after(c);
    ++i;
  }
}

Result<std::string> LogSettingReader::finish() {
  if (utf8_.finish()) return common::fail(kInvalidUtf8Stream);
  if (!fault_) end_of_input();
  if (fault_) {
    return common::fail(std::string(fault_->description) + " at line " +
                        std::to_string(fault_->at.line) + " column " +
                        std::to_string(fault_->at.column));
  }
  if (!found_) {
    return common::fail("Failed to read log location from config");
  }
  return std::move(*found_);
}

void LogSettingReader::fail(const char* description, Position at) {
  if (!fault_) fault_ = Fault{description, at};
}

void LogSettingReader::fail_at(const char* description, unsigned char c) {
  fail(description, after(c));
}

LogSettingReader::Position LogSettingReader::after(unsigned char c) const {
  if (c == '\n') return {position_.line + 1, 0};
  return {position_.line, position_.column + 1};
}

bool LogSettingReader::take(unsigned char c) {
  switch (state_) {
    case State::kIdent:
      if (c != static_cast<unsigned char>(*ident_rest_)) {
        fail_at(kExpectedIdent, c);
      } else if (*++ident_rest_ == '\0') {
        end_value();
      }
      return true;
    case State::kNumberStart:
    case State::kNumberZero:
    case State::kNumberInt:
    case State::kFractionFirst:
    case State::kFraction:
    case State::kExponentStart:
    case State::kExponentFirst:
    case State::kExponent:
      return take_number(c);
    case State::kString:
    case State::kEscape:
    case State::kSurrogateBackslash:
    case State::kSurrogateU:
      return take_string(c);
    case State::kHex:
      return take_hex_digit(c);
    default:
      return take_structure(c);
  }
}

// Whitespace, brackets, commas and colons, and the first byte of every value.
bool LogSettingReader::take_structure(unsigned char c) {
  if (is_whitespace(c)) return true;
  switch (state_) {
    case State::kArrayFirst:
      if (c == ']') {
        close();
        return true;
      }
      state_ = State::kValue;
      return false;
    case State::kArrayNext:
    case State::kObjectNext: {
      const bool object = state_ == State::kObjectNext;
      if (c == (object ? '}' : ']')) {
        close();
      } else if (c == ',') {
        state_ = object ? State::kObjectAfterComma : State::kArrayAfterComma;
      } else {
        fail_at(object ? kExpectedObjectComma : kExpectedListComma, c);
      }
      return true;
    }
    case State::kArrayAfterComma:
      if (c == ']') {
        fail_at(kTrailingComma, c);
        return true;
      }
      state_ = State::kValue;
      return false;
    case State::kObjectFirst:
    case State::kObjectAfterComma:
      if (c == '"') {
        begin_string(true);
      } else if (c == '}' && state_ == State::kObjectFirst) {
        close();
      } else {
        fail_at(c == '}' ? kTrailingComma : kKeyNotString, c);
      }
      return true;
    case State::kColon:
      if (c == ':') {
        state_ = State::kValue;
      } else {
        fail_at(kExpectedColon, c);
      }
      return true;
    case State::kEnd:
      fail_at(kTrailingCharacters, c);
      return true;
    default:
      return take_value_start(c);
  }
}

bool LogSettingReader::take_value_start(unsigned char c) {
  switch (c) {
    case '[':
    case '{':
      if (depth_ + 1 >= kMaxDepth) {
        fail_at(kTooDeep, c);
      } else {
        open(c == '{');
      }
      return true;
    case '"':
      begin_string(false);
      return true;
    case 't':
    case 'f':
    case 'n':
      begin_value();
      ident_rest_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
      state_ = State::kIdent;
      return true;
    default:
      if (c != '-' && !is_digit(c)) {
        fail_at(kExpectedValue, c);
        return true;
      }
      begin_value();
      significand_ = 0;
      exponent_ = 0;
      digits_dropped_ = false;
      is_float_ = false;
      state_ = State::kNumberStart;
      return c == '-';  // a digit is the number's first
  }
}

// The number's grammar, and its value as far as telling overflow needs it.
bool LogSettingReader::take_number(unsigned char c) {
  switch (state_) {
    case State::kNumberStart:
    case State::kNumberZero:
    case State::kNumberInt:
      return take_integer_digit(c);
    case State::kFractionFirst:
    case State::kFraction:
      return take_fraction_digit(c);
    default:
      return take_exponent_digit(c);
  }
}

bool LogSettingReader::take_integer_digit(unsigned char c) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto digit = static_cast<std::uint64_t>(c - '0');
  if (state_ == State::kNumberStart) {
    if (!is_digit(c)) {
      fail_at(kInvalidNumber, c);
    } else {
      significand_ = digit;
      state_ = c == '0' ? State::kNumberZero : State::kNumberInt;
    }
    return true;
  }
  if (is_digit(c)) {
    if (state_ == State::kNumberZero) {
      fail_at(kInvalidNumber, c);
    } else if (digits_dropped_ || overflows(significand_, digit, kMax)) {
      // Past a u64's reach the digits only scale the value.
      digits_dropped_ = true;
      is_float_ = true;
      ++exponent_;
    } else {
      significand_ = significand_ * 10 + digit;
    }
    return true;
  }
  if (c == '.' || c == 'e' || c == 'E') {
    is_float_ = true;
    // The fraction starts a new count of digits that fit.
    digits_dropped_ = false;
    state_ = c == '.' ? State::kFractionFirst : State::kExponentStart;
    return true;
  }
  if (end_number()) end_value();
  return false;
}

bool LogSettingReader::take_fraction_digit(unsigned char c) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (is_digit(c)) {
    // Once the significand is full, later digits are ignored.
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (!digits_dropped_ && overflows(significand_, digit, kMax)) digits_dropped_ = true;
    if (!digits_dropped_) {
      significand_ = significand_ * 10 + digit;
      --exponent_;
    }
    state_ = State::kFraction;
    return true;
  }
  if (state_ == State::kFractionFirst) {
    fail_at(kInvalidNumber, c);
    return true;
  }
  if (c == 'e' || c == 'E') {
    state_ = State::kExponentStart;
    return true;
  }
  if (end_number()) end_value();
  return false;
}

bool LogSettingReader::take_exponent_digit(unsigned char c) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  const auto digit = static_cast<std::int32_t>(c - '0');
  switch (state_) {
    case State::kExponentStart:
      state_ = State::kExponentFirst;
      exponent_positive_ = c != '-';
      exponent_digits_ = 0;
      exponent_overflow_ = false;
      return c == '+' || c == '-';
    case State::kExponentFirst:
      if (is_digit(c)) {
        exponent_digits_ = digit;
        state_ = State::kExponent;
      } else {
        fail_at(kInvalidNumber, c);
      }
      return true;
    default:
      break;
  }
  if (!is_digit(c)) {
    if (end_number()) end_value();
    return false;
  }
  if (exponent_overflow_) return true;
  if (overflows(exponent_digits_, digit, kMax)) {
    // An exponent beyond i32: infinity is an error, zero is what a tiny number gives.
    if (significand_ != 0 && exponent_positive_) fail_at(kNumberOutOfRange, c);
    exponent_overflow_ = true;
  } else {
    exponent_digits_ = exponent_digits_ * 10 + digit;
  }
  return true;
}

bool LogSettingReader::end_number() {
  if (!is_float_) return true;
  std::int32_t exponent = exponent_;
  if (state_ == State::kExponent) {
    if (exponent_overflow_) return true;  // the value is zero
    const std::int64_t sum = exponent_positive_ ? std::int64_t{exponent_} + exponent_digits_
                                                : std::int64_t{exponent_} - exponent_digits_;
    exponent = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        sum, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
  }
  if (out_of_range(significand_, exponent)) {
    fail_here(kNumberOutOfRange);
    return false;
  }
  return true;
}

std::size_t LogSettingReader::take_string_run(std::string_view bytes) {
  std::size_t n = 0;
  while (n < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[n]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    ++n;
  }
  append(bytes.substr(0, n));
  return n;
}

bool LogSettingReader::take_string(unsigned char c) {
  switch (state_) {
    case State::kString:
      if (c == '"') {
        end_string();
      } else if (c == '\\') {
        state_ = State::kEscape;
      } else if (c < 0x20) {
        fail_at(kControlCharacter, c);
      } else {
        append(std::string_view(reinterpret_cast<const char*>(&c), 1));
      }
      return true;
    case State::kEscape:
      if (c == 'u') {
        begin_hex();
      } else if (const char decoded = unescaped(c); decoded != 0) {
        append(std::string_view(&decoded, 1));
        state_ = State::kString;
      } else {
        fail_at(kInvalidEscape, c);
      }
      return true;
    case State::kSurrogateBackslash:
    case State::kSurrogateU:
      if (c != (state_ == State::kSurrogateBackslash ? '\\' : 'u')) {
        fail_at(kEndOfHexEscape, c);
      } else if (state_ == State::kSurrogateBackslash) {
        state_ = State::kSurrogateU;
      } else {
        begin_hex();
      }
      return true;
    default:
      return true;
  }
}

void LogSettingReader::begin_hex() {
  hex_count_ = 0;
  hex_value_ = 0;
  bad_hex_at_.reset();
  state_ = State::kHex;
}

// The four digits are read whole before a bad one counts (fewer before the end of the input
// are the end-of-string fault), but a bad one is reported where it stands.
bool LogSettingReader::take_hex_digit(unsigned char c) {
  const int value = hex_digit(c);
  if (value < 0 && !bad_hex_at_) bad_hex_at_ = after(c);
  hex_value_ = hex_value_ * 16 + static_cast<std::uint32_t>(value < 0 ? 0 : value);
  if (++hex_count_ < 4) return true;
  if (bad_hex_at_) {
    fail(kInvalidEscape, *bad_hex_at_);
    return true;
  }
  const std::uint32_t unit = hex_value_;
  const bool leading = unit >= 0xD800 && unit <= 0xDBFF;
  const bool trailing = unit >= 0xDC00 && unit <= 0xDFFF;
  if (high_surrogate_ != 0) {
    if (!trailing) {
      fail_at(kLoneSurrogate, c);
      return true;
    }
    append_code_point(0x10000 + ((high_surrogate_ - 0xD800) << 10) + (unit - 0xDC00));
    high_surrogate_ = 0;
    state_ = State::kString;
  } else if (trailing) {
    fail_at(kLoneSurrogate, c);
  } else if (leading) {
    high_surrogate_ = unit;
    state_ = State::kSurrogateBackslash;
  } else {
    append_code_point(unit);
    state_ = State::kString;
  }
  return true;
}

void LogSettingReader::append(std::string_view bytes) {
  if (in_key_) {
    if (key_.size() < kKeyKept) key_.append(bytes.substr(0, kKeyKept - key_.size()));
  } else if (capturing_) {
    text_.append(bytes);
  }
}

void LogSettingReader::append_code_point(std::uint32_t code_point) {
  if (code_point < 0x80) {
    const char byte = static_cast<char>(code_point);
    append({&byte, 1});
    return;
  }
  // A lead byte of 2, 3 or 4 bytes' length, then 6 bits in each continuation byte.
  const std::size_t size = code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  char bytes[4];
  for (std::size_t i = size - 1; i > 0; --i, code_point >>= 6) {
    bytes[i] = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  bytes[0] = static_cast<char>((0xF00 >> size) | code_point);
  append({bytes, size});
}

// A value at either key replaces what an earlier duplicate of that key gave.
LogSettingReader::Slot LogSettingReader::begin_value() {
  const Slot slot = std::exchange(next_slot_, Slot::kNone);
  if (slot != Slot::kNone) found_.reset();
  return slot;
}

void LogSettingReader::end_value() {
  if (depth_ == 0) {
    state_ = State::kEnd;
  } else {
    state_ = object_[depth_ - 1] ? State::kObjectNext : State::kArrayNext;
  }
}

void LogSettingReader::open(bool object) {
  const Slot slot = begin_value();
  // Keys at level 2 belong to the container opened last at level 1.
  if (depth_ == 1) in_outer_ = object && slot == Slot::kOuter;
  object_[depth_++] = object;
  state_ = object ? State::kObjectFirst : State::kArrayFirst;
}

void LogSettingReader::close() {
  --depth_;
  end_value();
}

void LogSettingReader::begin_string(bool key) {
  in_key_ = key;
  capturing_ = !key && begin_value() == Slot::kInner;
  key_.clear();
  text_.clear();
  state_ = State::kString;
}

void LogSettingReader::end_string() {
  if (in_key_) {
    in_key_ = false;
    if (depth_ == 1 && key_ == kOuterKey) {
      next_slot_ = Slot::kOuter;
    } else if (depth_ == 2 && in_outer_ && key_ == kInnerKey) {
      next_slot_ = Slot::kInner;
    }
    state_ = State::kColon;
    return;
  }
  if (capturing_) {
    found_ = std::move(text_);
    text_.clear();
    capturing_ = false;
  }
  end_value();
}

void LogSettingReader::end_of_input() {
  switch (state_) {
    case State::kNumberZero:
    case State::kNumberInt:
    case State::kFraction:
    case State::kExponent:
      if (!end_number()) return;
      end_value();
      break;
    default:
      break;
  }
  switch (state_) {
    case State::kEnd:
      return;
    case State::kArrayFirst:
    case State::kArrayNext:
      return fail_here(kEofList);
    case State::kObjectFirst:
    case State::kObjectNext:
    case State::kColon:
      return fail_here(kEofObject);
    case State::kString:
    case State::kEscape:
    case State::kHex:
    case State::kSurrogateBackslash:
    case State::kSurrogateU:
      return fail_here(kEofString);
    default:
      return fail_here(kEofValue);
  }
}

Result<std::string> read_log_file_setting(int config_fd) {
  LogSettingReader reader;
  std::array<char, 64 * 1024> buffer;
  auto size = read_chunks(config_fd, buffer, kWholeFileLimit + 1, [&](std::string_view chunk) {
    reader.feed(chunk);
    return Result<>();
  });
  if (!size) return std::unexpected(size.error());
  if (*size > kWholeFileLimit) return os_error(EFBIG);
  return reader.finish();
}

}  // namespace common::collectors
