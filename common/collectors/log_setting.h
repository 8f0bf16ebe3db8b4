// The "logging" → "log_file" setting of the configuration file, read in one pass over the file
// in chunks. The file must be UTF-8 (checked first, over the whole file), then exactly one
// strict JSON value, then hold a string at that place; the first of these checks that fails is
// the error.
//
// The JSON reader is our own streaming one: it keeps the nesting (at most 127 levels) and the
// setting's decoded text, nothing else of the document, so a huge string elsewhere costs
// nothing. Its faults read "<description> at line L column C", with the descriptions and
// positions of the serde_json library: L and C count bytes from 1, C is the column of the last
// byte read when the fault was found (0 when none was read on that line). A fault never quotes
// the file, which may hold secrets.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/utf8.h"

namespace common::collectors {

// The text of the configuration file, fed in pieces of any size.
class LogSettingReader {
 public:
  LogSettingReader();

  void feed(std::string_view piece);
  // The decoded "log_file" string, or the error: the UTF-8 one, the JSON fault, or "Failed to
  // read log location from config" when there is no string at that place.
  Result<std::string> finish();

  // Arrays and objects nested this deep are refused.
  static constexpr std::size_t kMaxDepth = 128;

 private:
  enum class State : std::uint8_t;
  // Which value the next one is: the top-level "logging", its "log_file", or another.
  enum class Slot : std::uint8_t { kNone, kOuter, kInner };
  struct Position {
    std::uint64_t line = 1;
    std::uint64_t column = 0;
  };
  struct Fault {
    const char* description;
    Position at;
  };

  // Takes the byte `c` in the current state; false when the byte is left for the next state.
  bool take(unsigned char c);
  // Takes a run of plain string bytes at the start of `bytes`; how many.
  std::size_t take_string_run(std::string_view bytes);
  bool take_structure(unsigned char c);
  bool take_value_start(unsigned char c);
  bool take_number(unsigned char c);
  bool take_integer_digit(unsigned char c);
  bool take_fraction_digit(unsigned char c);
  bool take_exponent_digit(unsigned char c);
  bool take_string(unsigned char c);
  void begin_hex();
  bool take_hex_digit(unsigned char c);

  void fail(const char* description, Position at);
  // At the byte being taken, as if it had been read.
  void fail_at(const char* description, unsigned char c);
  // After the bytes already read (the end of the input, or a value that ended just before).
  void fail_here(const char* description) { fail(description, position_); }
  Position after(unsigned char c) const;

  Slot begin_value();
  void end_value();
  void open(bool object);
  void close();
  void begin_string(bool key);
  void end_string();
  void append(std::string_view bytes);
  void append_code_point(std::uint32_t code_point);
  // The number ends here; false when its value is out of range.
  bool end_number();
  void end_of_input();

  Utf8Stream utf8_;
  std::optional<Fault> fault_;
  Position position_;

  State state_;
  std::size_t depth_ = 0;          // arrays and objects open
  std::bitset<kMaxDepth> object_;  // whether each open level is an object

  // The number being read: the value as the library forms it, only to tell overflow.
  std::uint64_t significand_ = 0;
  std::int32_t exponent_ = 0;    // of ten, from digits past the significand's capacity
  bool digits_dropped_ = false;  // the significand is full; further digits only scale it
  bool is_float_ = false;
  bool exponent_positive_ = true;
  std::int32_t exponent_digits_ = 0;
  bool exponent_overflow_ = false;

  // The string being read.
  bool in_key_ = false;
  const char* ident_rest_ = "";  // what is left of true, false or null
  int hex_count_ = 0;
  std::uint32_t hex_value_ = 0;
  std::optional<Position> bad_hex_at_;
  std::uint32_t high_surrogate_ = 0;  // set while the second half of a pair is read

  // The look-up: only the setting's text, and the key being read up to one byte more than the
  // longest key looked for, are kept.
  Slot next_slot_ = Slot::kNone;
  bool in_outer_ = false;  // the object open at level 2 is the top-level "logging"
  bool capturing_ = false;
  std::string key_;
  std::string text_;
  std::optional<std::string> found_;
};

// Reads the configuration from the open descriptor `config_fd` (a file or a FIFO) to its end,
// in chunks: a read error, then a file larger than kWholeFileLimit (EFBIG), then the errors of
// LogSettingReader::finish, in that order.
Result<std::string> read_log_file_setting(int config_fd);

}  // namespace common::collectors
