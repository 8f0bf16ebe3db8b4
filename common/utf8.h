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

// The same check over text that arrives in pieces: the first error is reported at the offset
// it has in the whole text, whatever the pieces, and a sequence split between two pieces is
// judged once its end arrives.
class Utf8Stream {
 public:
  // The first error in the text so far, once a piece shows it.
  std::optional<Utf8Error> feed(std::string_view piece);
  // The first error of the whole text, now that it has ended.
  std::optional<Utf8Error> finish();

 private:
  std::optional<Utf8Error> error_;
  std::size_t offset_ = 0;  // where `pending_` starts in the whole text
  std::string pending_;     // an unfinished sequence at the end of the last piece (< 4 bytes)
};

}  // namespace common
