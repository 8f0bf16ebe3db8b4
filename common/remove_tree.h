// Removing a directory tree: the run's clean-up of its output directory once the archive is
// written, or once the run has failed right after making it. The walk works through descriptors,
// relative to each directory it has opened, so a symbolic link swapped in meanwhile is removed as a
// link and never followed out of the tree.
#pragma once

#include <string>

#include "common/error.h"

namespace common {

// Empties the directory open as `dir_fd` (symbolic links in it are removed, never followed),
// then removes its entry `name` in the directory open as `parent_fd`, provided that is still
// the same directory: one renamed away meanwhile stays, empty, where it now is, and whatever
// took its place is left alone (ENOENT).
Result<> remove_tree(int dir_fd, int parent_fd, const std::string& name);

}  // namespace common
