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

TEST(ReadLogFileSetting, ParseErrorsCarryLineAndColumn) {
  EXPECT_EQ(setting_or_error(""),
            "error:syntax error while parsing value - unexpected end of input; expected '[', "
            "'{', or a literal at line 1 column 0");
  const std::string trailing = setting_or_error("{\"logging\": {}}\n x");
  EXPECT_TRUE(trailing.starts_with("error:syntax error")) << trailing;
  EXPECT_TRUE(trailing.ends_with(" at line 2 column 2")) << trailing;
  const std::string bad = setting_or_error("{\n  \"logging\": x\n}");
  EXPECT_TRUE(bad.ends_with(" at line 2 column 14")) << bad;
  // Comments are not JSON.
  EXPECT_TRUE(setting_or_error("// c\n{}").starts_with("error:"));
}

TEST(ReadLogFileSetting, ByteOrderMarkIsAnError) {
  const std::string result = setting_or_error("\xEF\xBB\xBF{\"logging\": {\"log_file\": \"a\"}}");
  EXPECT_TRUE(result.starts_with("error:")) << result;
  EXPECT_TRUE(result.ends_with(" at line 1 column 1")) << result;
}

TEST(ReadLogFileSetting, NestingOf127LevelsIsFineAnd128IsAnError) {
  const auto nested = [](int levels) {
    return "{\"logging\": {\"log_file\": \"a\"}, \"deep\": " + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  EXPECT_EQ(setting_or_error(nested(127)), "ok:a");
  EXPECT_EQ(setting_or_error(nested(128)), "error:recursion limit exceeded at line 1 column 166");
  // Brackets inside strings do not count.
  EXPECT_EQ(setting_or_error("{\"s\": \"" + std::string(300, '[') +
                             "\", \"logging\": {\"log_file\": \"b\"}}"),
            "ok:b");
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
