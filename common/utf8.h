// UTF-8 validation with the position and length of the first bad sequence, and lossy decoding
// that replaces each bad sequence with one U+FFFD.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace common {

struct Utf8Error {
  std::size_t valid_up_to;  // offset of the first bad sequence
  // Length (1 to 3) of the bad sequence; empty when the input ends inside a sequence that
  // could still have become valid.
  std::optional<std::size_t> error_len;
};

std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string utf8_error_text(const Utf8Error& error);

std::string to_utf8_lossy(std::string_view bytes);

}  // namespace common
