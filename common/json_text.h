// Strict JSON reading for the configuration file, in one streaming pass that validates the
// whole text but keeps only the one string asked for, so memory grows with the nesting depth
// and the longest single token (the library holds a string or number whole), never with the
// size of the text. Stricter than the library's defaults where
// those would accept what is not JSON: a byte-order mark is an error (it is not whitespace),
// so is a NUL byte anywhere (the library would take it for the end of the input), and arrays
// and objects nested 128 deep are refused like a recursion limit, so a hostile file cannot
// exhaust the stack. Every error reads "<description> at line L column C": the library's own
// description without its "[json.exception...]" prefix, L 1-based, C the bytes read on that
// line (0 when none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace common {

// Arrays and objects nested this deep are refused.
inline constexpr std::size_t kJsonMaxDepth = 128;

// Validates `text` and yields the string at `outer` → `inner` of its top-level object, nothing
// when there is none: the top level is not an object, `outer` is not an object, or `inner` is
// not a string. Keys match exactly; of duplicate keys the last one counts, as in a document
// tree.
Result<std::optional<std::string>> find_nested_string_strict(std::string_view text,
                                                             std::string_view outer,
                                                             std::string_view inner);

// The same over the next `size` bytes of the seekable descriptor `fd` (fewer if the file ends
// first), read in chunks: memory stays small whatever `size`. After the parse, finding the
// position of an error reads the text again from where the descriptor stood. Fails with the
// error of reading, if any.
Result<std::optional<std::string>> find_nested_string_strict(int fd, std::uint64_t size,
                                                             std::string_view outer,
                                                             std::string_view inner);

}  // namespace common
