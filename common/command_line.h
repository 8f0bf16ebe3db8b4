// The command line: command `sdk_info`, no arguments or options beyond help. The first argument
// decides: "-h"/"--help" gives the help on standard output (status 0), anything else the
// unexpected-argument error on standard error (status 2).
#pragma once

#include <span>
#include <string>
#include <variant>

namespace common {

// What parsing succeeded with. It carries nothing: no part of a run depends on it.
struct ParsedCommandLine {};

// The end of the process that parsing asks for instead of a parse result.
struct CommandLineExit {
  int status;
  std::string stdout_text;
  std::string stderr_text;
};

// Either the run goes ahead, or the process ends with these texts and this status.
using CommandLineOutcome = std::variant<ParsedCommandLine, CommandLineExit>;

// `arguments` holds the program path first, then the arguments.
CommandLineOutcome parse_command_line(std::span<const char* const> arguments);

}  // namespace common
