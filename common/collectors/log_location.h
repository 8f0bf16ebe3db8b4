// From the configured log location to the log directory and the log file name: the split of
// the location into its parent directory and last component.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace common::collectors {

struct LogLocation {
  std::string directory;  // may be empty (listing it then fails) or "/"
  std::string file_name;  // never empty; a pattern that entry names must contain
};

// Splits a location such as "/var/log/app/agent.log" into "/var/log/app" and "agent.log".
Result<LogLocation> split_log_location(std::string_view location);

}  // namespace common::collectors
