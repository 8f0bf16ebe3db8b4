// Paths are byte strings. Joining follows one rule everywhere: a second part that begins with
// "/" replaces the first; otherwise one "/" goes between them unless the first is empty or
// already ends in "/". The base name and parent directory are read the same way everywhere.
#pragma once

#include <string>
#include <string_view>

namespace common {

std::string join_path(std::string_view base, std::string_view part);

// The last component: what follows the last "/" once trailing slashes are dropped. Empty for
// "", "/" and "//"; the whole path when it has no "/".
std::string_view base_name(std::string_view path);

// Everything before the last "/": "." when there is none, "/" when it is the first byte.
std::string_view parent_dir(std::string_view path);

}  // namespace common
