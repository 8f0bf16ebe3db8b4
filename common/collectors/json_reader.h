// A strict streaming JSON reader. The text comes in pieces of any size; it must be UTF-8
// (checked first, over the whole text), then exactly one JSON value. What the value holds is
// reported to a listener as it is read, so the reader itself keeps only the nesting (at most
// 127 levels) and the token it is in: a huge string costs nothing.
//
// Faults read "<description> at line L column C", with the descriptions and positions of the
// serde_json library (see JsonPosition). A fault never quotes the text, which may hold secrets.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/collectors/json_escape.h"
#include "common/collectors/json_number.h"
#include "common/error.h"
#include "common/utf8.h"

namespace common::collectors {

enum class JsonContainer : std::uint8_t { kArray, kObject };
// A value that holds no other; a literal is true, false or null.
enum class JsonScalar : std::uint8_t { kString, kNumber, kLiteral };

// What the reader found, in the order of the text. A string's decoded bytes come in as many
// pieces as the input's chunks and escapes cut it into, possibly none. After a fault, or once
// the text is not UTF-8, nothing more is reported; what was reported up to then is void.
// Every event does nothing unless overridden.
class JsonListener {
 public:
  virtual ~JsonListener() = default;
  // "[" or "{": a value that holds others begins.
  virtual void open(JsonContainer) {}
  // Its "]" or "}".
  virtual void close() {}
  // A member's key: its decoded bytes, then its end. The member's value follows.
  virtual void key_piece(std::string_view) {}
  virtual void key_end() {}
  // The decoded bytes of a string value.
  virtual void string_piece(std::string_view) {}
  // A string, number or literal value ended.
  virtual void value_end(JsonScalar) {}
};

class JsonReader {
 public:
  // Arrays and objects nested this deep are refused.
  static constexpr std::size_t kMaxDepth = 128;

  explicit JsonReader(JsonListener& listener);
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  void feed(std::string_view piece);
  // Success for one whole value; else the UTF-8 error, or the first fault in the text.
  Result<> finish();

 private:
  enum class State : std::uint8_t;
  // What a state did with the byte it was shown: took it, or ended what it was reading just
  // before it and left the byte to the state it moved to.
  enum class Byte : std::uint8_t { kTaken, kHandedOn };

  Byte take(unsigned char c);
  // Takes a run of plain string bytes at the start of `bytes`; how many.
  std::size_t take_string_run(std::string_view bytes);
  Byte take_structure(unsigned char c);
  Byte take_value_start(unsigned char c);
  Byte take_integer_digit(unsigned char c);
  Byte take_fraction_digit(unsigned char c);
  Byte take_exponent_digit(unsigned char c);
  Byte take_string(unsigned char c);
  Byte take_escape(unsigned char c);

  // Keeps the first fault only: reading stops there.
  void record_fault(const char* description, JsonPosition at);
  // The fault lies at the byte being taken, counted as read.
  void fault_at_byte(const char* description, unsigned char c);
  // The fault lies after the bytes read so far (the end of the input, or a number that ended
  // just before the byte being taken).
  void fault_after_read(const char* description) { record_fault(description, position_); }
  // Where reading stands once `c` is read.
  JsonPosition position_after(unsigned char c) const;

  // The state that follows a value at the current depth.
  void expect_after_value();
  void open(JsonContainer container);
  void close();
  void end_scalar(JsonScalar kind);
  // The number ends before the byte being taken, or at the end of the input.
  void end_number();
  void begin_string(bool key);
  void end_string();
  void emit(std::string_view bytes);
  void end_of_input();

  JsonListener& listener_;
  Utf8Stream utf8_;
  std::optional<JsonFault> fault_;
  JsonPosition position_;

  State state_;
  std::size_t depth_ = 0;          // arrays and objects open
  std::bitset<kMaxDepth> object_;  // whether each open level is an object

  // The token being read.
  JsonNumberRange number_;
  const char* ident_rest_ = "";  // what is left of true, false or null
  bool in_key_ = false;          // the string is a member's key
  JsonEscape escape_;
};

}  // namespace common::collectors
