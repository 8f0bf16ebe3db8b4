// Strict JSON reading for the configuration file. Stricter than the library's defaults where
// those would accept what is not JSON: a byte-order mark is an error (it is not whitespace),
// so is a NUL byte anywhere (the library would take it for the end of the input), and arrays
// and objects nested 128 deep are refused like a recursion limit, so a hostile file cannot
// exhaust the stack. Every error reads "<description> at line L column C": the library's own
// description without its "[json.exception...]" prefix, L 1-based, C the bytes read on that
// line (0 when none).
#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/error.h"

namespace common {

// Arrays and objects nested this deep are refused.
inline constexpr std::size_t kJsonMaxDepth = 128;

Result<nlohmann::json> parse_json_strict(std::string_view text);

}  // namespace common
