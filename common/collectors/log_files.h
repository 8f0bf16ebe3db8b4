// The log stage: reads the log location from the installed configuration file and copies every
// entry of the log directory whose name contains the log file's name (rotated and prefixed
// files come along) and which is not a directory. Every selected entry is tried; the first
// failure is the stage's.
#pragma once

#include <string>

#include "common/error.h"
#include "common/output_dir.h"

namespace common::collectors {

Result<> collect_log_files(const std::string& config_path, const OutputDir& output_dir);

}  // namespace common::collectors
