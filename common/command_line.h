// The command line: command `sdk_info`, no arguments or options beyond help. The first argument
// decides: "-h"/"--help" gives the help on standard output (status 0), anything else the
// unexpected-argument error on standard error (status 2).
#pragma once

#include <optional>
#include <span>
#include <string>

namespace common {

// The end of the process that parsing asks for instead of a run.
struct CommandLineExit {
  int status;
  std::string stdout_text;
  std::string stderr_text;
};

// `arguments` holds the program path first, then the arguments. Empty when the run goes ahead;
// otherwise the process ends with these texts and this status.
std::optional<CommandLineExit> parse_command_line(std::span<const char* const> arguments);

}  // namespace common
