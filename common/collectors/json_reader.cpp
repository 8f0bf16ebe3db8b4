#include "common/collectors/json_reader.h"

#include <string>

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
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kNumberOutOfRange = "number out of range";
constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kTooDeep = "recursion limit exceeded";

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

enum class JsonReader::State : std::uint8_t {
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
  kEscape,  // after "\" in a string, to the escape's end
};

JsonReader::JsonReader(JsonListener& listener) : listener_(listener), state_(State::kValue) {}

void JsonReader::feed(std::string_view piece) {
  // Bad UTF-8 anywhere is the error, whatever the JSON holds: reading stops there.
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
    while (take(c) == Byte::kHandedOn && !fault_) {
    }
    if (fault_) break;
    position_ = position_after(c);
    ++i;
  }
}

Result<> JsonReader::finish() {
  if (utf8_.finish()) return common::fail(kInvalidUtf8Stream);
  if (!fault_) end_of_input();
  if (fault_) {
    return common::fail(std::string(fault_->description) + " at line " +
                        std::to_string(fault_->at.line) + " column " +
                        std::to_string(fault_->at.column));
  }
  return {};
}

void JsonReader::record_fault(const char* description, JsonPosition at) {
  if (!fault_) fault_ = JsonFault{description, at};
}

void JsonReader::fault_at_byte(const char* description, unsigned char c) {
  record_fault(description, position_after(c));
}

JsonPosition JsonReader::position_after(unsigned char c) const {
  if (c == '\n') return {position_.line + 1, 0};
  return {position_.line, position_.column + 1};
}

JsonReader::Byte JsonReader::take(unsigned char c) {
  switch (state_) {
    case State::kIdent:
      if (c != static_cast<unsigned char>(*ident_rest_)) {
        fault_at_byte(kExpectedIdent, c);
      } else if (*++ident_rest_ == '\0') {
        end_scalar(JsonScalar::kLiteral);
      }
      return Byte::kTaken;
    case State::kNumberStart:
    case State::kNumberZero:
    case State::kNumberInt:
      return take_integer_digit(c);
    case State::kFractionFirst:
    case State::kFraction:
      return take_fraction_digit(c);
    case State::kExponentStart:
    case State::kExponentFirst:
    case State::kExponent:
      return take_exponent_digit(c);
    case State::kString:
      return take_string(c);
    case State::kEscape:
      return take_escape(c);
    default:
      return take_structure(c);
  }
}

// Whitespace, brackets, commas and colons, and the first byte of every value.
JsonReader::Byte JsonReader::take_structure(unsigned char c) {
  if (is_whitespace(c)) return Byte::kTaken;
  switch (state_) {
    case State::kArrayFirst:
      if (c == ']') {
        close();
        return Byte::kTaken;
      }
      state_ = State::kValue;
      return Byte::kHandedOn;
    case State::kArrayNext:
    case State::kObjectNext: {
      const bool object = state_ == State::kObjectNext;
      if (c == (object ? '}' : ']')) {
        close();
      } else if (c == ',') {
        state_ = object ? State::kObjectAfterComma : State::kArrayAfterComma;
      } else {
        fault_at_byte(object ? kExpectedObjectComma : kExpectedListComma, c);
      }
      return Byte::kTaken;
    }
    case State::kArrayAfterComma:
      if (c == ']') {
        fault_at_byte(kTrailingComma, c);
        return Byte::kTaken;
      }
      state_ = State::kValue;
      return Byte::kHandedOn;
    case State::kObjectFirst:
    case State::kObjectAfterComma:
      if (c == '"') {
        begin_string(true);
      } else if (c == '}' && state_ == State::kObjectFirst) {
        close();
      } else {
        fault_at_byte(c == '}' ? kTrailingComma : kKeyNotString, c);
      }
      return Byte::kTaken;
    case State::kColon:
      if (c == ':') {
        state_ = State::kValue;
      } else {
        fault_at_byte(kExpectedColon, c);
      }
      return Byte::kTaken;
    case State::kEnd:
      fault_at_byte(kTrailingCharacters, c);
      return Byte::kTaken;
    default:
      return take_value_start(c);
  }
}

JsonReader::Byte JsonReader::take_value_start(unsigned char c) {
  switch (c) {
    case '[':
    case '{':
      if (depth_ + 1 >= kMaxDepth) {
        fault_at_byte(kTooDeep, c);
      } else {
        open(c == '{' ? JsonContainer::kObject : JsonContainer::kArray);
      }
      return Byte::kTaken;
    case '"':
      begin_string(false);
      return Byte::kTaken;
    case 't':
    case 'f':
    case 'n':
      ident_rest_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
      state_ = State::kIdent;
      return Byte::kTaken;
    case '-':
      state_ = State::kNumberStart;
      return Byte::kTaken;
    default:
      if (!is_digit(c)) {
        fault_at_byte(kExpectedValue, c);
        return Byte::kTaken;
      }
      state_ = State::kNumberStart;
      return Byte::kHandedOn;  // the number's first digit
  }
}

JsonReader::Byte JsonReader::take_integer_digit(unsigned char c) {
  const int digit = c - '0';
  if (state_ == State::kNumberStart) {
    if (!is_digit(c)) {
      fault_at_byte(kInvalidNumber, c);
    } else {
      number_.start(digit);
      state_ = c == '0' ? State::kNumberZero : State::kNumberInt;
    }
    return Byte::kTaken;
  }
  if (is_digit(c)) {
    if (state_ == State::kNumberZero) {
      fault_at_byte(kInvalidNumber, c);
    } else {
      number_.integer_digit(digit);
    }
    return Byte::kTaken;
  }
  if (c == '.') {
    number_.point();
    state_ = State::kFractionFirst;
    return Byte::kTaken;
  }
  if (c == 'e' || c == 'E') {
    state_ = State::kExponentStart;
    return Byte::kTaken;
  }
  end_number();
  return Byte::kHandedOn;
}

JsonReader::Byte JsonReader::take_fraction_digit(unsigned char c) {
  if (is_digit(c)) {
    number_.fraction_digit(c - '0');
    state_ = State::kFraction;
    return Byte::kTaken;
  }
  if (state_ == State::kFractionFirst) {
    fault_at_byte(kInvalidNumber, c);
    return Byte::kTaken;
  }
  if (c == 'e' || c == 'E') {
    state_ = State::kExponentStart;
    return Byte::kTaken;
  }
  end_number();
  return Byte::kHandedOn;
}

JsonReader::Byte JsonReader::take_exponent_digit(unsigned char c) {
  const bool sign = c == '+' || c == '-';
  switch (state_) {
    case State::kExponentStart:
      number_.begin_exponent(c != '-');
      state_ = State::kExponentFirst;
      return sign ? Byte::kTaken : Byte::kHandedOn;
    case State::kExponentFirst:
      if (!is_digit(c)) {
        fault_at_byte(kInvalidNumber, c);
        return Byte::kTaken;
      }
      state_ = State::kExponent;
      break;
    default:
      if (!is_digit(c)) {
        end_number();
        return Byte::kHandedOn;
      }
      break;
  }
  if (!number_.exponent_digit(c - '0')) fault_at_byte(kNumberOutOfRange, c);
  return Byte::kTaken;
}

void JsonReader::end_number() {
  if (number_.out_of_range()) {
    fault_after_read(kNumberOutOfRange);
  } else {
    end_scalar(JsonScalar::kNumber);
  }
}

std::size_t JsonReader::take_string_run(std::string_view bytes) {
  std::size_t n = 0;
  while (n < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[n]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    ++n;
  }
  emit(bytes.substr(0, n));
  return n;
}

JsonReader::Byte JsonReader::take_string(unsigned char c) {
  if (c == '"') {
    end_string();
  } else if (c == '\\') {
    escape_ = JsonEscape();
    state_ = State::kEscape;
  } else if (c < 0x20) {
    fault_at_byte(kControlCharacter, c);
  } else {
    emit(std::string_view(reinterpret_cast<const char*>(&c), 1));
  }
  return Byte::kTaken;
}

JsonReader::Byte JsonReader::take_escape(unsigned char c) {
  switch (escape_.take(c, position_after(c))) {
    case JsonEscape::Step::kMore:
      break;
    case JsonEscape::Step::kDecoded:
      emit(escape_.decoded());
      state_ = State::kString;
      break;
    case JsonEscape::Step::kFault:
      record_fault(escape_.fault().description, escape_.fault().at);
      break;
  }
  return Byte::kTaken;
}

void JsonReader::emit(std::string_view bytes) {
  if (bytes.empty()) return;
  if (in_key_) {
    listener_.key_piece(bytes);
  } else {
    listener_.string_piece(bytes);
  }
}

void JsonReader::expect_after_value() {
  if (depth_ == 0) {
    state_ = State::kEnd;
  } else {
    state_ = object_[depth_ - 1] ? State::kObjectNext : State::kArrayNext;
  }
}

void JsonReader::open(JsonContainer container) {
  listener_.open(container);
  const bool object = container == JsonContainer::kObject;
  object_[depth_++] = object;
  state_ = object ? State::kObjectFirst : State::kArrayFirst;
}

void JsonReader::close() {
  --depth_;
  listener_.close();
  expect_after_value();
}

void JsonReader::end_scalar(JsonScalar kind) {
  listener_.value_end(kind);
  expect_after_value();
}

void JsonReader::begin_string(bool key) {
  in_key_ = key;
  state_ = State::kString;
}

void JsonReader::end_string() {
  if (!in_key_) return end_scalar(JsonScalar::kString);
  in_key_ = false;
  listener_.key_end();
  state_ = State::kColon;
}

void JsonReader::end_of_input() {
  switch (state_) {
    case State::kNumberZero:
    case State::kNumberInt:
    case State::kFraction:
    case State::kExponent:
      end_number();
      if (fault_) return;
      break;
    default:
      break;
  }
  switch (state_) {
    case State::kEnd:
      return;
    case State::kArrayFirst:
    case State::kArrayNext:
      return fault_after_read(kEofList);
    case State::kObjectFirst:
    case State::kObjectNext:
    case State::kColon:
      return fault_after_read(kEofObject);
    case State::kString:
    case State::kEscape:
      return fault_after_read(kEofString);
    default:
      return fault_after_read(kEofValue);
  }
}

}  // namespace common::collectors
