#pragma once

#include <string>

#include "common/error.h"

namespace common::archive {

// Removes a directory and everything in it. Symbolic links are removed, never followed.
Result<> remove_tree(const std::string& path);

}  // namespace common::archive
