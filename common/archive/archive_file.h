// Opens the archive file for writing: created (0600 before the umask: it holds configuration
// and logs) or truncated, an existing file keeping its mode and owner.
//
// The archive's name is predictable, and it usually lies in a shared sticky directory such as
// /tmp. There, like the kernel's fs.protected_symlinks and fs.protected_regular would, we
// refuse with EACCES to follow a symbolic link or to open an existing file that belongs
// neither to us nor to the directory's owner, so that another local user cannot make us
// truncate a file of their choosing. Elsewhere a link at the path is followed.
#pragma once

#include <functional>
#include <string>

#include "common/error.h"
#include "common/file_io.h"

namespace common::archive {

// `before_create` runs, in a sticky directory, just before a missing archive is created: tests
// plant what another user could plant in that moment.
Result<UniqueFd> open_archive_file(const std::string& path,
                                   const std::function<void()>& before_create = {});

}  // namespace common::archive
