// The escapes of a JSON string, decoded to UTF-8 as the serde_json library decodes them, with
// its faults: a one-letter escape, or "\u" and four hex digits, where a leading surrogate must
// be followed at once by a "\u" escape of a trailing one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace common::collectors {

// Where reading stands in a JSON text: L and C count bytes from 1, C is the column of the last
// byte read (0 when none was read on that line).
struct JsonPosition {
  std::uint64_t line = 1;
  std::uint64_t column = 0;
};

struct JsonFault {
  const char* description;
  JsonPosition at;
};

// One escape, fed the bytes after its "\"; a fresh object for each escape.
class JsonEscape {
 public:
  enum class Step : std::uint8_t {
    kMore,     // the escape goes on
    kDecoded,  // the escape ended with this byte: decoded() holds what it stands for
    kFault,    // fault() tells what is wrong, and where
  };

  // Takes the next byte; `after` is where reading stands once it is read.
  Step take(unsigned char c, JsonPosition after);
  std::string_view decoded() const { return {bytes_, size_}; }
  const JsonFault& fault() const { return fault_; }

 private:
  enum class State : std::uint8_t {
    kLetter,              // the byte after "\"
    kHex,                 // inside the four digits of "\u"
    kSurrogateBackslash,  // after a leading surrogate, wanting "\"
    kSurrogateU,          // wanting the "u" of its trailing surrogate
  };

  Step take_hex_digit(unsigned char c, JsonPosition after);
  Step decoded_as(std::uint32_t code_point);
  Step faulted(const char* description, JsonPosition at);

  State state_ = State::kLetter;
  int hex_count_ = 0;
  std::uint32_t hex_value_ = 0;
  std::optional<JsonPosition> bad_hex_at_;
  std::uint32_t high_surrogate_ = 0;  // set while the second half of a pair is read
  char bytes_[4] = {};
  std::size_t size_ = 0;
  JsonFault fault_{"", {}};
};

}  // namespace common::collectors
