// The archive stage: packs the output directory into "<output dir>.tar.gz" beside it, one
// gzip member holding a GNU tar stream, written as it is read. Where other accounts may change
// the temporary directory, it is written under a name of its own and renamed once flushed
// (archive_file.h); any failure removes that file again.
//
// A file with holes is stored whole, its holes as zeros, while the zeros so stored over the
// run stay within a budget (1 GiB, about 1 MiB of archive): a log rotated by copytruncate,
// with one ordinary hole, stays readable by every tar, BusyBox's too, which knows no sparse
// member. A file past the budget is a sparse member holding its data regions alone
// (tar_header.h), under a map of bounded size (sparse_map.h), so that a hole of any size
// costs the archive nothing; the holes such a map merges into its regions count as stored.
//
// The walk keeps a stack: a directory is listed and its entries pushed in listing order
// before its own header is written, so the members of a directory follow it in the reverse
// of the listing order. It reads the output directory through the descriptor the run holds,
// and each directory below it through a descriptor opened from its parent's, never by path.
// The pending entries are names alone, packed (NameStack); the path of a directory is held
// once, by the directory. Symbolic links inside are followed; a directory reached again while
// the walk is inside it ends the walk with ELOOP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/output_dir.h"

namespace common::archive {

// Called with the number of tar bytes written so far, after each piece of member data.
using ArchiveProgress = std::function<void(std::uint64_t)>;

// What holes may cost a run's archive. Tests make them small.
struct HoleLimits {
  std::uint64_t zeros = 1ULL << 30;   // hole bytes stored as zeros over the run, at most
  std::size_t map_entries = 1 << 16;  // entries of a sparse member's map, at most (1 or more)
};

// Yields the archive path on success.
Result<std::string> archive_output_directory(const OutputDir& output_dir,
                                             std::string_view data_dir_name,
                                             const ArchiveProgress& progress = {},
                                             HoleLimits limits = {});

}  // namespace common::archive
