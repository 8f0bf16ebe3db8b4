#include "common/collectors/log_location.h"

#include <gtest/gtest.h>

namespace common::collectors {
namespace {

// The directory is tested before the name.
TEST(SplitLogLocation, DirectoryAndLastComponent) {
  const std::string no_dir = "Failed to read log file directory from config";
  const std::string no_name = "Failed to read log file name from config";
  const struct {
    const char* location;
    std::string expected;  // "directory|file name" or the error's text
  } cases[] = {
      {"/var/log/app/agent.log", "/var/log/app|agent.log"},
      {"/var/log/app/", "/var/log|app"},
      {"/var//log///app.log", "/var//log|app.log"},
      {"agent.log", "|agent.log"},
      {"a/./b", "a|b"},
      {"a/b/.", "a|b"},
      {"./a.log", ".|a.log"},
      {"././a.log", ".|a.log"},
      {"/./a.log", "/|a.log"},
      {"//a", "/|a"},
      {"/a", "/|a"},
      {"../x.log", "..|x.log"},
      {"", no_dir},
      {"/", no_dir},
      {"///", no_dir},
      {".", no_name},
      {"./.", no_name},
      {"..", no_name},
      {"/var/log/..", no_name},
  };
  for (const auto& c : cases) {
    const auto parts = split_log_location(c.location);
    EXPECT_EQ(parts ? parts->directory + "|" + parts->file_name : parts.error().text(), c.expected)
        << c.location;
  }
}

}  // namespace
}  // namespace common::collectors
