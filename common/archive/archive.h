// The archive stage: packs the output directory into "<output dir>.tar.gz" beside it, one
// gzip member holding a GNU tar stream, written as it is read. Where other accounts may change
// the temporary directory, it is written under a name of its own and renamed once flushed
// (archive_file.h); any failure removes that file again. A file with holes is a sparse member
// holding its data regions alone (tar_header.h); a file without is stored whole.
//
// The walk keeps a stack: a directory is listed and its entries pushed in listing order
// before its own header is written, so the members of a directory follow it in the reverse
// of the listing order. It reads the output directory through the descriptor the run holds,
// and each directory below it through a descriptor opened from its parent's, never by path.
// The pending entries are names alone, packed (NameStack); the path of a directory is held
// once, by the directory. Symbolic links inside are followed; a directory reached again while
// the walk is inside it ends the walk with ELOOP.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/output_dir.h"

namespace common::archive {

// Called with the number of tar bytes written so far, after each piece of member data.
using ArchiveProgress = std::function<void(std::uint64_t)>;

// Yields the archive path on success.
Result<std::string> archive_output_directory(const OutputDir& output_dir,
                                             std::string_view data_dir_name,
                                             const ArchiveProgress& progress = {});

}  // namespace common::archive
