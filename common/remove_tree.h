// Removing a directory tree: the run's clean-up of its output directory once the archive is
// written (and the tests' clean-up of their temporary directories). The walk works through
// descriptors, relative to each directory it has opened, so a symbolic link swapped in
// meanwhile is removed as a link and never followed out of the tree.
#pragma once

#include <string>

#include "common/error.h"

namespace common {

// Removes a directory and everything in it. Symbolic links are removed, never followed.
Result<> remove_tree(const std::string& path);

}  // namespace common
