#include "common/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace common {
namespace {

std::optional<CommandLineExit> parse(std::vector<const char*> arguments) {
  return parse_command_line(arguments);
}

// The exit the outcome asks for; a test failure (and an exit with status -1) when it asks to
// run instead.
CommandLineExit exit_of(const std::optional<CommandLineExit>& outcome) {
  if (outcome) return *outcome;
  ADD_FAILURE() << "parsing asked to run";
  return {-1, "", ""};
}

TEST(CommandLine, NoArgumentsParsesSilently) {
  EXPECT_FALSE(parse({"/usr/bin/oskel_info"}));
  EXPECT_FALSE(parse({}));
}

TEST(CommandLine, HelpIsSixLinesOnStdoutWithStatusZero) {
  for (const char* flag : {"-h", "--help"}) {
    const auto exit = exit_of(parse({"/opt/bin/oskel_info", flag}));
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(exit.stdout_text,
              "Collects Keldra SDK logs and config files\n\n"
              "Usage: oskel_info\n\n"
              "Options:\n"
              "  -h, --help  Print help\n");
    EXPECT_EQ(exit.stderr_text, "");
  }
}

TEST(CommandLine, EveryOtherFirstArgumentIsRefusedWithStatusTwo) {
  for (const char* argument : {"x", "--version", "-V", "-x", "--", "-", "-hx", "--help=1"}) {
    const auto exit = exit_of(parse({"./oskel_info", argument, "--help"}));
    EXPECT_EQ(exit.status, 2) << argument;
    EXPECT_EQ(exit.stdout_text, "");
    EXPECT_EQ(exit.stderr_text, std::string("error: unexpected argument '") + argument +
                                    "' found\n\nUsage: oskel_info\n\n"
                                    "For more information, try '--help'.\n");
  }
}

TEST(CommandLine, UsageNamesTheProgramFileName) {
  const struct {
    std::vector<const char*> arguments;
    std::string usage;
  } cases[] = {
      {{"renamed", "-h"}, "Usage: renamed\n"}, {{"", "-h"}, "Usage: sdk_info\n"},
      {{"/", "-h"}, "Usage: sdk_info\n"},      {{"/a/b/..", "-h"}, "Usage: sdk_info\n"},
      {{"/a/b/tool", "y"}, "Usage: tool\n"},   {{"/a/b/tool/", "y"}, "Usage: tool\n"},
  };
  for (const auto& c : cases) {
    const auto exit = exit_of(parse(c.arguments));
    EXPECT_NE((exit.stdout_text + exit.stderr_text).find(c.usage), std::string::npos) << c.usage;
  }
  // An argument that is not UTF-8 is shown readably, not as raw bytes.
  EXPECT_NE(exit_of(parse({"tool", "\xFF"})).stderr_text.find("'\xEF\xBF\xBD'"), std::string::npos);
}

}  // namespace
}  // namespace common
