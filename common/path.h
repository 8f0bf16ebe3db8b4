// Paths are byte strings. Joining follows one rule everywhere: a second part that begins with
// "/" replaces the first; otherwise one "/" goes between them unless the first is empty or
// already ends in "/".
#pragma once

#include <string>
#include <string_view>

namespace common {

std::string join_path(std::string_view base, std::string_view part);

}  // namespace common
