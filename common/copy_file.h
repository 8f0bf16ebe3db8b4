// Copying one regular file, as the configuration and log stages do: the source is opened as
// access/walk.h describes (links followed with the rights of whoever chose them, nothing but a
// regular file opened), and the copy has the source's permission bits whatever the umask, but
// for set-user-ID and set-group-ID: a copy that root extracts elsewhere must not run as its
// owner.
//
// A file is copied as it stood when it was opened: at most the size fstat gave then, so a log
// that a runaway writer keeps appending to cannot fill the disk; one that shrinks ends at its
// end. Only a file whose size the kernel does not know (it reports 0, as procfs does) is read
// to its end, up to kWholeFileLimit. Only the source's data regions are copied
// (SEEK_DATA/SEEK_HOLE), so a log that is one big hole after a copytruncate stays a hole in the
// copy; the content is the same byte for byte. The kernel copies the bytes where it can
// (copy_file_range); read/write is the fallback. Either goes in stretches of a few MiB, and
// before each the disk margin (disk_margin.h) is checked: a copy that would cross it is ENOSPC.
// The copy is always a new file: a destination name already taken is EEXIST. write_file makes a
// new file of the run's own text under the same margin.
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>

#include "common/access/access.h"
#include "common/error.h"

namespace common {

// Copies a regular file (links followed) with its permission bits, set-ID bits cleared, to the
// new file `destination_name` in the directory open as `destination_dir`.
Result<> copy_file(const std::string& source, int destination_dir,
                   const std::string& destination_name);

// The same for a file already open.
Result<> copy_open_file(const access::Opened& from, int destination_dir,
                        const std::string& destination_name);

// Creates the new file `name` in the directory open as `dir_fd` (permission bits 0666 before the
// umask; a name already taken is EEXIST) and writes `data`.
Result<> write_file(int dir_fd, const std::string& name, std::string_view data);

namespace detail {
// The kernel call that moves the bytes; tests replace it to make it refuse, stop or fail.
inline decltype(&::copy_file_range) copy_file_range_call = &::copy_file_range;
}  // namespace detail

}  // namespace common
