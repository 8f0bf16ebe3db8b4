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

// Empties the directory open as `dir_fd`, then removes its entry `path`, provided that is still
// the same directory: one renamed away meanwhile stays, empty, where it now is, and whatever
// took its place is left alone (ENOENT).
Result<> remove_tree(int dir_fd, const std::string& path);

}  // namespace common
