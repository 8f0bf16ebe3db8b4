#include "common/collectors/log_location.h"

#include <gtest/gtest.h>

namespace common::collectors {
namespace {

std::string split(const std::string& location) {
  const auto parts = split_log_location(location);
  return parts ? parts->directory + "|" + parts->file_name : parts.error().text();
}

TEST(SplitLogLocation, DirectoryAndLastComponent) {
  EXPECT_EQ(split("/var/log/app/agent.log"), "/var/log/app|agent.log");
  EXPECT_EQ(split("/var/log/app/"), "/var/log|app");
  EXPECT_EQ(split("/var//log///app.log"), "/var//log|app.log");
  EXPECT_EQ(split("agent.log"), "|agent.log");
  EXPECT_EQ(split("a/./b"), "a|b");
  EXPECT_EQ(split("a/b/."), "a|b");
  EXPECT_EQ(split("./a.log"), ".|a.log");
  EXPECT_EQ(split("././a.log"), ".|a.log");
  EXPECT_EQ(split("/./a.log"), "/|a.log");
  EXPECT_EQ(split("//a"), "/|a");
  EXPECT_EQ(split("/a"), "/|a");
  EXPECT_EQ(split("../x.log"), "..|x.log");
}

TEST(SplitLogLocation, DirectoryTestComesBeforeNameTest) {
  const std::string no_dir = "Failed to read log file directory from config";
  const std::string no_name = "Failed to read log file name from config";
  EXPECT_EQ(split(""), no_dir);
  EXPECT_EQ(split("/"), no_dir);
  EXPECT_EQ(split("///"), no_dir);
  EXPECT_EQ(split("."), no_name);
  EXPECT_EQ(split("./."), no_name);
  EXPECT_EQ(split(".."), no_name);
  EXPECT_EQ(split("/var/log/.."), no_name);
}

}  // namespace
}  // namespace common::collectors
