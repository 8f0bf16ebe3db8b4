// The archive stage: packs the output directory into "<output dir>.tar.gz" beside it, one
// gzip member holding a GNU tar stream, written as it is read with no temporary file.
//
// The walk keeps a stack: a directory is listed and its entries pushed in listing order
// before its own header is written, so the members of a directory follow it in the reverse
// of the listing order. Symbolic links are followed; a directory reached again while the walk
// is inside it ends the walk with ELOOP.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace common::archive {

// Yields the archive path on success.
Result<std::string> archive_output_directory(const std::string& output_dir,
                                             std::string_view data_dir_name);

}  // namespace common::archive
