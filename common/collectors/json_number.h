// The range check of a JSON number. The number's value is formed as the serde_json library
// forms it (the digits that fit a u64, then a power of ten in doubles), only far enough to
// tell the numbers it refuses as out of range: the value itself is never needed.
#pragma once

#include <cstdint>

namespace common::collectors {

// Fed the digits of one number as the reader meets them; its grammar is the reader's.
class JsonNumberRange {
 public:
  // A new number, from its first digit (after an optional "-": the sign does not matter).
  void start(int digit);
  void integer_digit(int digit);
  // The "." before the fraction's digits.
  void point();
  void fraction_digit(int digit);
  // The exponent, from its sign ("e" without a sign is positive).
  void begin_exponent(bool positive);
  // False when this exponent digit already makes the number infinite.
  [[nodiscard]] bool exponent_digit(int digit);
  // Whether the whole number, now that it has ended, is out of range.
  bool out_of_range() const;

 private:
  std::uint64_t significand_ = 0;
  std::int32_t exponent_ = 0;    // of ten, from digits past the significand's capacity
  bool digits_dropped_ = false;  // the significand is full; further digits only scale it
  bool is_float_ = false;        // only a float can be out of range
  bool has_exponent_ = false;
  bool exponent_positive_ = true;
  std::int32_t exponent_digits_ = 0;
  bool exponent_overflow_ = false;  // past an i32: the value is zero or infinite
};

}  // namespace common::collectors
