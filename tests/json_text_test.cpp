#include "common/json_text.h"

#include <gtest/gtest.h>

namespace common {
namespace {

// "ok" or "error:<text>".
std::string parsed_or_error(const std::string& text) {
  const auto parsed = find_nested_string_strict(text, "logging", "log_file");
  return parsed ? "ok" : "error:" + parsed.error().text();
}

TEST(StrictJson, AcceptsTheWholeDocument) {
  for (const char* text : {
           " \t\r\n{\"x\": [1, -2, 3.5, {\"y\": null}], \"b\": true, \"s\": \"a\\u0000b\", "
           "\"x\": \"last wins\"}\n",
           "[[], {}, [[]]]",
           "18446744073709551615",
       }) {
    EXPECT_EQ(parsed_or_error(text), "ok") << text;
  }
}

TEST(StrictJson, ParseErrorsCarryLineAndColumn) {
  EXPECT_EQ(parsed_or_error(""),
            "error:syntax error while parsing value - unexpected end of input; expected '[', "
            "'{', or a literal at line 1 column 0");
  const std::string trailing = parsed_or_error("{\"logging\": {}}\n x");
  EXPECT_TRUE(trailing.starts_with("error:syntax error")) << trailing;
  EXPECT_TRUE(trailing.ends_with(" at line 2 column 2")) << trailing;
  const std::string bad = parsed_or_error("{\n  \"logging\": x\n}");
  EXPECT_TRUE(bad.ends_with(" at line 2 column 14")) << bad;
  // Comments are not JSON.
  EXPECT_TRUE(parsed_or_error("// c\n{}").starts_with("error:"));
}

TEST(StrictJson, ByteOrderMarkIsAnError) {
  const std::string result = parsed_or_error("\xEF\xBB\xBF{\"logging\": {\"log_file\": \"a\"}}");
  EXPECT_TRUE(result.starts_with("error:")) << result;
  EXPECT_TRUE(result.ends_with(" at line 1 column 1")) << result;
}

TEST(StrictJson, NestingOf127LevelsIsFineAnd128IsAnError) {
  const auto nested = [](int levels) {
    return "{\"logging\": {\"log_file\": \"a\"}, \"deep\": " + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  EXPECT_EQ(parsed_or_error(nested(127)), "ok");
  EXPECT_EQ(parsed_or_error(nested(128)), "error:recursion limit exceeded at line 1 column 166");
  // Brackets inside strings do not count.
  const std::string brackets = "{\"s\": \"" + std::string(300, '[') + "\"}";
  EXPECT_EQ(parsed_or_error(brackets), "ok");
}

TEST(StrictJson, NulByteIsAnErrorAtItsTruePosition) {
  using namespace std::string_literals;
  const std::string nul_error =
      "error:syntax error while parsing value - invalid literal; last read: '<U+0000>'";
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"123\0"s, nul_error + " at line 1 column 4"},
      {"{\"a\": 1}\n \0 trailing"s, nul_error + " at line 2 column 2"},
      {"{\"a\": \0}"s, nul_error + " at line 1 column 7"},
      {"\0"s, nul_error + " at line 1 column 1"},
      // An error before the NUL is reported as it is.
      {"{\"a\" 1}\0"s,
       "error:syntax error while parsing object separator - unexpected number literal; "
       "expected ':' at line 1 column 6"},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed_or_error(c.text), c.expected) << c.expected;
  // Inside a string the library's own text names the control character.
  const std::string in_string = parsed_or_error("{\"a\": \"x\0y\"}"s);
  EXPECT_NE(in_string.find("U+0000"), std::string::npos) << in_string;
  EXPECT_TRUE(in_string.ends_with(" at line 1 column 9")) << in_string;
}

TEST(StrictJson, LibraryMessagePrefixNeverShows) {
  const std::string overflow = parsed_or_error("{\"x\": 1e400, \"logging\": {}}");
  EXPECT_EQ(overflow, "error:number overflow parsing '1e400' at line 1 column 11");
  for (const char* text : {"[1,]", "{\"a\":}", "\"\\x\"", "tru", "[\"\xFF\"]", "1e400"}) {
    const std::string error = parsed_or_error(text);
    EXPECT_TRUE(error.starts_with("error:")) << text;
    EXPECT_EQ(error.find("[json.exception"), std::string::npos) << error;
    EXPECT_EQ(error.find("parse error"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace common
