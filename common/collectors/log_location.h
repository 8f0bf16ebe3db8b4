// From the configuration file's text to the log directory and the log file name: the
// "logging" / "log_file" look-up in the strictly parsed text, and the split of the location
// into its parent directory and last component.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

namespace common::collectors {

struct LogLocation {
  std::string directory;  // may be empty (listing it then fails) or "/"
  std::string file_name;  // never empty; a pattern that entry names must contain
};

// The "logging" then "log_file" string of the configuration text.
Result<std::string> read_log_file_setting(std::string_view config_text);

// The same over the next `size` bytes of the seekable descriptor `config_fd`, read in chunks.
Result<std::string> read_log_file_setting(int config_fd, std::uint64_t size);

// Splits a location such as "/var/log/app/agent.log" into "/var/log/app" and "agent.log".
Result<LogLocation> split_log_location(std::string_view location);

}  // namespace common::collectors
