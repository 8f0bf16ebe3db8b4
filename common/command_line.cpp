#include "common/command_line.h"

#include <string_view>

#include "common/path.h"
#include "common/utf8.h"

namespace common {

namespace {

constexpr std::string_view kCommandName = "sdk_info";
constexpr std::string_view kAbout = "Collects Keldra SDK logs and config files";

// The usage line names the file name of the program path, or the command when there is none.
std::string program_name(std::span<const char* const> arguments) {
  if (arguments.empty() || arguments[0] == nullptr) return std::string(kCommandName);
  const std::string_view name = base_name(arguments[0]);
  if (name.empty() || name == "/" || name == "." || name == "..") {
    return std::string(kCommandName);
  }
  return to_utf8_lossy(name);
}

}  // namespace

std::optional<CommandLineExit> parse_command_line(std::span<const char* const> arguments) {
  if (arguments.size() <= 1) return std::nullopt;
  const std::string usage = "Usage: " + program_name(arguments) + "\n";
  const std::string_view first = arguments[1] != nullptr ? arguments[1] : "";
  if (first == "-h" || first == "--help") {
    std::string help =
        std::string(kAbout) + "\n\n" + usage + "\nOptions:\n  -h, --help  Print help\n";
    return CommandLineExit{0, std::move(help), ""};
  }
  std::string error = "error: unexpected argument '" + to_utf8_lossy(first) + "' found\n\n" +
                      usage + "\nFor more information, try '--help'.\n";
  return CommandLineExit{2, "", std::move(error)};
}

}  // namespace common
