// Copying one regular file, as the configuration and log stages do: links are followed, the
// copy has exactly the source's twelve permission bits whatever the umask, and anything that
// is not a regular file (a FIFO, a device, a socket, a directory) is refused before a single
// byte is read, so a FIFO cannot hang the run and a device cannot feed it without end. The
// kernel copies the bytes where it can (copy_file_range); read/write is the fallback.
#pragma once

#include <string>

#include "common/error.h"

namespace common {

inline constexpr const char* kNotRegularFile =
    "the source path is neither a regular file nor a symlink to a regular file";

// Copies a regular file (links followed) with exactly its twelve permission bits.
Result<> copy_file(const std::string& source, const std::string& destination);

}  // namespace common
