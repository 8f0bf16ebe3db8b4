#include "common/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace common {
namespace {

CommandLineOutcome parse(std::vector<const char*> arguments) {
  return parse_command_line(arguments);
}

TEST(CommandLine, NoArgumentsParsesSilently) {
  const auto outcome = parse({"/usr/bin/oskel_info"});
  EXPECT_TRUE(outcome.parsed);
  EXPECT_FALSE(outcome.exit);
}

TEST(CommandLine, HelpIsSixLinesOnStdoutWithStatusZero) {
  for (const char* flag : {"-h", "--help"}) {
    const auto outcome = parse({"/opt/bin/oskel_info", flag});
    ASSERT_TRUE(outcome.exit);
    EXPECT_EQ(outcome.exit->status, 0);
    EXPECT_EQ(outcome.exit->stdout_text,
              "Collects Keldra SDK logs and config files\n\n"
              "Usage: oskel_info\n\n"
              "Options:\n"
              "  -h, --help  Print help\n");
    EXPECT_EQ(outcome.exit->stderr_text, "");
  }
}

TEST(CommandLine, EveryOtherFirstArgumentIsRefusedWithStatusTwo) {
  for (const char* argument : {"x", "--version", "-V", "-x", "--", "-", "-hx", "--help=1"}) {
    const auto outcome = parse({"./oskel_info", argument, "--help"});
    ASSERT_TRUE(outcome.exit) << argument;
    EXPECT_EQ(outcome.exit->status, 2);
    EXPECT_EQ(outcome.exit->stdout_text, "");
    EXPECT_EQ(outcome.exit->stderr_text, std::string("error: unexpected argument '") + argument +
                                             "' found\n\nUsage: oskel_info\n\n"
                                             "For more information, try '--help'.\n");
  }
}

TEST(CommandLine, UsageNamesTheProgramFileName) {
  EXPECT_NE(parse({"renamed", "-h"}).exit->stdout_text.find("Usage: renamed\n"), std::string::npos);
  EXPECT_NE(parse({"", "-h"}).exit->stdout_text.find("Usage: sdk_info\n"), std::string::npos);
  EXPECT_NE(parse({"/a/b/tool", "y"}).exit->stderr_text.find("Usage: tool\n"), std::string::npos);
  // An argument that is not UTF-8 is shown readably, not as raw bytes.
  EXPECT_NE(parse({"tool", "\xFF"}).exit->stderr_text.find("'\xEF\xBF\xBD'"), std::string::npos);
}

}  // namespace
}  // namespace common
