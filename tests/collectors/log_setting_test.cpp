#include "common/collectors/log_setting.h"

#include <gtest/gtest.h>

namespace common::collectors {
namespace {

const std::string kNoLocation = "Failed to read log location from config";

// The text fed whole, or one byte at a time: "ok:<setting>" or the error's text.
std::string read_setting(const std::string& text, bool byte_by_byte) {
  LogSettingReader reader;
  if (byte_by_byte) {
    for (const char& c : text) reader.feed({&c, 1});
  } else {
    reader.feed(text);
  }
  const auto setting = reader.finish();
  return setting ? "ok:" + *setting : setting.error().text();
}

TEST(LogSettingReader, FindsTheLastLogFileStringDecoded) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {R"({"logging": {"log_file": "/var/log/app/agent.log"}})", "ok:/var/log/app/agent.log"},
      {R"({"x": [{"y": null}], "logging": {"level": 3, "log_file": "a\u0000b\"\n\u00e9\ud83d\ude00"}})",
       "ok:a\0b\"\n\xC3\xA9\xF0\x9F\x98\x80"s},
      {R"({"log\u0067ing": {"log\u005ffile": "escaped keys"}})", "ok:escaped keys"},
      {R"({"logging": {"log_file": "\/var\/log\/a.log"}})", "ok:/var/log/a.log"},
      {R"({"logging": {"log_file": 3, "log_file": "b"}})", "ok:b"},
      {R"({"logging": {"log_file": "a", "log_file": null}})", kNoLocation},
      {R"({"logging": {"log_file": "a"}, "logging": {"log_file": "b"}})", "ok:b"},
      {R"({"logging": {"log_file": "a"}, "logging": {}})", kNoLocation},
      {R"({"logging": {"log_file": "a"}, "logging": [{"log_file": "b"}]})", kNoLocation},
      {R"({"logging": 1, "logging": {"log_file": "b"}})", "ok:b"},
      {R"({"logging": {"log_file": "a", "x": {"log_file": "b"}}})", "ok:a"},
      {R"({"logging": {"log_file": "a"}, "x": {"logging": {"log_file": "b"}}})", "ok:a"},
      {R"({"logging": {"log_file": ["a"]}})", kNoLocation},
      {R"({"logging": {"Log_File": "a", "log_file ": "a"}})", kNoLocation},
      // The whole key, at both levels.
      {R"({"log": {"log_file": "a"}, "logging ": {"log_file": "a"}})", kNoLocation},
      {R"({"logging": {"log": "a", "log_fil": "a"}})", kNoLocation},
      {R"({"logging": "a"})", kNoLocation},
      {R"({"x": {"logging": {"log_file": "b"}}})", kNoLocation},
      {R"([{"logging": {"log_file": "a"}}])", kNoLocation},
      {R"("text")", kNoLocation},
      // A fault anywhere, even after the setting, is the error; it never quotes the text.
      {R"({"logging": {"log_file": "a"}} x)", "trailing characters at line 1 column 32"},
      {"\"" + std::string(3 << 20, 's'), "EOF while parsing a string at line 1 column 3145729"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_setting(c.text, false), c.expected) << c.text;
    EXPECT_EQ(read_setting(c.text, true), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace common::collectors
