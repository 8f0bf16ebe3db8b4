#include "common/json_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common {
namespace {

// "ok" or "error:<text>".
std::string parsed_or_error(const std::string& text) {
  const auto parsed = find_nested_string_strict(text, "logging", "log_file");
  return parsed ? "ok" : "error:" + parsed.error().text();
}

// "ok:<string>", "none" or "error:<text>".
std::string outcome(const Result<std::optional<std::string>>& parsed) {
  if (!parsed) return "error:" + parsed.error().text();
  return *parsed ? "ok:" + **parsed : "none";
}

// The look-up over `text` stored in a file, read from its descriptor after `skip` bytes.
std::string from_descriptor(const std::string& text, std::size_t skip = 0,
                            std::uint64_t size = std::numeric_limits<std::uint64_t>::max()) {
  testing_util::TempDir tmp;
  testing_util::write_text(tmp / "config", text);
  UniqueFd fd(::open((tmp / "config").c_str(), O_RDONLY | O_CLOEXEC));
  ::lseek(fd.get(), static_cast<off_t>(skip), SEEK_SET);
  return outcome(find_nested_string_strict(fd.get(), size, "logging", "log_file"));
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

// The file is read in 64 KiB chunks: positions, the NUL, the nesting limit and an escape
// inside a string must come out the same wherever a chunk ends.
TEST(StrictJson, DescriptorGivesWhatTheTextGivesAcrossChunks) {
  using namespace std::string_literals;
  const std::string pad(70000, ' ');
  const std::string setting = "{\"logging\": {\"log_file\": \"a\"}}";
  const struct {
    std::string text;
    std::string ending;
  } cases[] = {
      {pad + setting + pad, "ok:a"},
      {"[1]", "none"},
      {setting + pad + "x", "; expected end of input at line 1 column 70031"},
      {std::string(70000, '\n') + "  {", " at line 70001 column 3"},
      {"1" + pad + "\0x"s, "last read: '<U+0000>' at line 1 column 70002"},
      {"{\"a\": [" + pad + "\0]}"s, "last read: '<U+0000>' at line 1 column 70008"},
      // The backslash ends the first chunk and escapes the quote that starts the second.
      {"{\"s\": \"" + std::string(65528, 'a') + "\\\"x\", \"d\": " + std::string(127, '[') + "]",
       "error:recursion limit exceeded at line 1 column 65673"},
      {"\xEF\xBB\xBF" + pad + setting, "last read: '<U+FEFF>' at line 1 column 1"},
      {"", "expected '[', '{', or a literal at line 1 column 0"},
  };
  for (const auto& c : cases) {
    const std::string read = from_descriptor(c.text);
    EXPECT_TRUE(read.ends_with(c.ending)) << c.ending;
    EXPECT_EQ(read, outcome(find_nested_string_strict(c.text, "logging", "log_file"))) << c.ending;
  }
}

TEST(StrictJson, DescriptorIsReadFromWhereItStandsForTheGivenSize) {
  using namespace std::string_literals;
  const std::string setting = "{\"logging\": {\"log_file\": \"b\"}}";
  const struct {
    std::string text;
    std::size_t skip;
    std::uint64_t size;
    std::string expected;
  } cases[] = {
      {"xx\n" + setting, 3, 1000, "ok:b"},
      {setting + "garbage", 0, setting.size(), "ok:b"},
      // Positions count from where the descriptor stood.
      {"[\n" + setting + "\n}", 2, 1000,
       "error:syntax error while parsing value - unexpected '}'; expected end of input at line 2 "
       "column 1"},
      {"x\n{\n\0"s, 2, 1000,
       "error:syntax error while parsing value - invalid literal; last read: '<U+0000>' at line 2 "
       "column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(from_descriptor(c.text, c.skip, c.size), c.expected);
}

TEST(StrictJson, DescriptorReadErrorIsTheError) {
  testing_util::TempDir tmp;
  UniqueFd dir(::open(tmp.path().c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(outcome(find_nested_string_strict(dir.get(), 10, "logging", "log_file")),
            "error:Is a directory (os error 21)");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  UniqueFd reader(pipe_fds[0]);
  UniqueFd writer(pipe_fds[1]);
  EXPECT_EQ(outcome(find_nested_string_strict(reader.get(), 10, "logging", "log_file")),
            "error:Illegal seek (os error 29)");
}

}  // namespace
}  // namespace common
