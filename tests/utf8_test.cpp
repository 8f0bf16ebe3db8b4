#include "common/utf8.h"

#include <gtest/gtest.h>

namespace common {
namespace {

struct Case {
  std::string bytes;
  std::string expected;  // empty when valid
};

TEST(Utf8, ReportsFirstBadSequenceLikeTheStandardDecoder) {
  const Case cases[] = {
      {"", ""},
      {"plain ascii\n", ""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", ""},
      {"\xF4\x8F\xBF\xBF", ""},  // U+10FFFF
      // Sequences split between pieces count in the position of the error after them.
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!\xFF",
       "invalid utf-8 sequence of 1 bytes from index 10"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong lead
      {"\xE0\x80\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong 3-byte
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // surrogate
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
      {"\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xC3(", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"x\xE2\x82(", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xF0\x9F\x98(", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"ok\xC3", "incomplete utf-8 byte sequence from index 2"},
      {"ok\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 0"},
      {"\xE0", "incomplete utf-8 byte sequence from index 0"},
      // A bad byte before the end wins over an unfinished sequence after it.
      {"\xFF\xC3", "invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const Case& c : cases) {
    const auto error = validate_utf8(c.bytes);
    EXPECT_EQ(error ? utf8_error_text(*error) : "", c.expected) << "input: " << c.bytes;
    // The same text arriving in pieces, a sequence split between two of them too.
    for (const std::size_t piece : {1, 2, 3}) {
      Utf8Stream stream;
      for (std::size_t i = 0; i < c.bytes.size(); i += piece) {
        stream.feed(std::string_view(c.bytes).substr(i, piece));
      }
      const auto streamed = stream.finish();
      EXPECT_EQ(streamed ? utf8_error_text(*streamed) : "", c.expected) << piece << c.bytes;
    }
  }
}

TEST(Utf8, LossyDecodingReplacesEachBadSequenceOnce) {
  EXPECT_EQ(to_utf8_lossy("agent.log"), "agent.log");
  EXPECT_EQ(to_utf8_lossy("a\xFF"
                          "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(to_utf8_lossy("\xE2\x82(x"), "\xEF\xBF\xBD(x");
  EXPECT_EQ(to_utf8_lossy("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(to_utf8_lossy("end\xF0\x9F\x98"), "end\xEF\xBF\xBD");
}

}  // namespace
}  // namespace common
