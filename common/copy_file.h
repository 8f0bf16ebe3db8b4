// Copying one regular file, as the configuration and log stages do: links are followed, the
// copy has exactly the source's twelve permission bits whatever the umask, and anything that
// is not a regular file (a FIFO, a device, a socket, a directory) is refused before a single
// byte is read, so a FIFO cannot hang the run and a device cannot feed it without end.
//
// A file is copied as it stood when it was opened: at most the size fstat gave then, so a log
// that a runaway writer keeps appending to cannot fill the disk; one that shrinks ends at its
// end. Only a file whose size the kernel does not know (it reports 0, as procfs does) is read
// to its end, up to kWholeFileLimit. Only the source's data regions are copied
// (SEEK_DATA/SEEK_HOLE), so a log that is one big hole after a copytruncate stays a hole in the
// copy; the content is the same byte for byte. The kernel copies the bytes where it can
// (copy_file_range); read/write is the fallback.
#pragma once

#include <unistd.h>

#include <string>

#include "common/error.h"

namespace common {

inline constexpr const char* kNotRegularFile =
    "the source path is neither a regular file nor a symlink to a regular file";

// Copies a regular file (links followed) with exactly its twelve permission bits to
// `destination_name` in the directory open as `destination_dir`, where a link is not followed.
Result<> copy_file(const std::string& source, int destination_dir,
                   const std::string& destination_name);

namespace detail {
// The kernel call that moves the bytes; tests replace it to make it refuse, stop or fail.
inline decltype(&::copy_file_range) copy_file_range_call = &::copy_file_range;
}  // namespace detail

}  // namespace common
