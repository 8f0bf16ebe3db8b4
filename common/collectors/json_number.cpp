#include "common/collectors/json_number.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace common::collectors {

namespace {

// Whether value * 10 + digit exceeds `max`.
template <typename T>
bool overflows(T value, T digit, T max) {
  return value >= max / 10 && (value > max / 10 || digit > max % 10);
}

// Whether significand × 10^exponent, computed in doubles as the library does (so that the same
// values overflow), is infinite.
bool is_infinite(std::uint64_t significand, std::int32_t exponent) {
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

constexpr std::uint64_t kMaxSignificand = std::numeric_limits<std::uint64_t>::max();

}  // namespace

void JsonNumberRange::start(int digit) {
  *this = JsonNumberRange();
  significand_ = static_cast<std::uint64_t>(digit);
}

void JsonNumberRange::integer_digit(int digit) {
  const auto d = static_cast<std::uint64_t>(digit);
  if (digits_dropped_ || overflows(significand_, d, kMaxSignificand)) {
    // Past a u64's reach the digits only scale the value.
    digits_dropped_ = true;
    is_float_ = true;
    ++exponent_;
  } else {
    significand_ = significand_ * 10 + d;
  }
}

void JsonNumberRange::point() {
  is_float_ = true;
  // The fraction starts a new count of digits that fit.
  digits_dropped_ = false;
}

void JsonNumberRange::fraction_digit(int digit) {
  // Once the significand is full, later digits are ignored.
  const auto d = static_cast<std::uint64_t>(digit);
  if (!digits_dropped_ && overflows(significand_, d, kMaxSignificand)) digits_dropped_ = true;
  if (!digits_dropped_) {
    significand_ = significand_ * 10 + d;
    --exponent_;
  }
}

void JsonNumberRange::begin_exponent(bool positive) {
  is_float_ = true;
  has_exponent_ = true;
  exponent_positive_ = positive;
  exponent_digits_ = 0;
  exponent_overflow_ = false;
}

bool JsonNumberRange::exponent_digit(int digit) {
  if (exponent_overflow_) return true;
  if (overflows(exponent_digits_, digit, std::numeric_limits<std::int32_t>::max())) {
    // An exponent beyond i32: infinity is an error, zero is what a tiny number gives.
    exponent_overflow_ = true;
    return significand_ == 0 || !exponent_positive_;
  }
  exponent_digits_ = exponent_digits_ * 10 + digit;
  return true;
}

bool JsonNumberRange::out_of_range() const {
  if (!is_float_) return false;
  std::int32_t exponent = exponent_;
  if (has_exponent_) {
    if (exponent_overflow_) return false;  // the value is zero
    const std::int64_t sum = exponent_positive_ ? std::int64_t{exponent_} + exponent_digits_
                                                : std::int64_t{exponent_} - exponent_digits_;
    exponent = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        sum, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
  }
  return is_infinite(significand_, exponent);
}

}  // namespace common::collectors
