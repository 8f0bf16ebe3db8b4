// The log stage: reads the log location from the installed configuration file and copies every
// entry of the log directory whose name contains the log file's name (rotated and prefixed
// files come along) and which is not a directory. Every selected entry is tried; the first
// failure is the stage's. An entry named like a file the run writes itself (the OS
// description, the configuration's copy, the package file) is not copied: it fails with
// kOwnFileName, and the stage's own file stays what the run made.
#pragma once

#include <span>
#include <string>

#include "common/error.h"
#include "common/output_dir.h"

namespace common::collectors {

inline constexpr const char* kOwnFileName = "the name is one the collection uses for its own file";

// `own_names`: the names of the files the other stages write into the output directory.
Result<> collect_log_files(const std::string& config_path, const OutputDir& output_dir,
                           std::span<const std::string> own_names = {});

}  // namespace common::collectors
