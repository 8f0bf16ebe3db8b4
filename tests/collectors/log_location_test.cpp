#include "common/collectors/log_location.h"

#include <gtest/gtest.h>

namespace common::collectors {
namespace {

std::string setting_or_error(const std::string& text) {
  const auto setting = read_log_file_setting(text);
  return setting ? "ok:" + *setting : "error:" + setting.error().text();
}

TEST(ReadLogFileSetting, FindsTheStringUnderLoggingLogFile) {
  EXPECT_EQ(setting_or_error(R"({"logging": {"log_file": "/var/log/app/agent.log"}})"),
            "ok:/var/log/app/agent.log");
  EXPECT_EQ(setting_or_error(" \t\r\n{\"x\": [1, {\"y\": null}], \"logging\": {\"level\": 3, "
                             "\"log_file\": \"a\\u0000b\"}}\n\n"),
            std::string("ok:a") + '\0' + "b");
}

TEST(ReadLogFileSetting, WrongShapesFailWithTheLocationMessage) {
  const std::string message = "error:Failed to read log location from config";
  for (const char* text : {
           R"({"logging": {"log_file": 3}})",
           R"({"logging": {"log_file": null}})",
           R"({"logging": {"log_file": ["a"]}})",
           R"({"logging": {"log_file": {"path": "a"}}})",
           R"({"logging": {"Log_File": "a"}})",
           R"({"logging": "a"})",
           R"({"Logging": {"log_file": "a"}})",
           R"([{"logging": {"log_file": "a"}}])",
           R"("text")",
           R"({})",
       }) {
    EXPECT_EQ(setting_or_error(text), message) << text;
  }
}

TEST(ReadLogFileSetting, LastDuplicateKeyWinsAndOnlyTheTopTwoLevelsCount) {
  const std::string none = "error:Failed to read log location from config";
  const struct {
    const char* text;
    std::string expected;
  } cases[] = {
      {R"({"logging": {"log_file": 3, "log_file": "b"}})", "ok:b"},
      {R"({"logging": {"log_file": "a", "log_file": null}})", none},
      {R"({"logging": {"log_file": "a"}, "logging": {"log_file": "b"}})", "ok:b"},
      {R"({"logging": {"log_file": "a"}, "logging": {}})", none},
      {R"({"logging": {"log_file": "a"}, "logging": 1})", none},
      {R"({"logging": {"log_file": "a"}, "logging": [{"log_file": "b"}]})", none},
      {R"({"logging": 1, "logging": {"log_file": "b"}})", "ok:b"},
      {R"({"logging": {"log_file": "a", "x": {"log_file": "b"}}})", "ok:a"},
      {R"({"logging": {"x": [{}], "log_file": "a"}})", "ok:a"},
      {R"({"logging": {"x": {"log_file": "b"}}})", none},
      {R"({"logging": {"log_file": "a"}, "x": {"log_file": "b"}})", "ok:a"},
      {R"({"logging": {"log_file": "a"}, "x": {"logging": {"log_file": "b"}}})", "ok:a"},
      {R"({"x": {"logging": {"log_file": "b"}}})", none},
      {R"({"x": [{"logging": {"log_file": "b"}}]})", none},
      {R"({"x": [{"log_file": "b"}], "logging": {}})", none},
  };
  for (const auto& c : cases) EXPECT_EQ(setting_or_error(c.text), c.expected) << c.text;
}

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
