#include "common/collectors/json_reader.h"

#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace common::collectors {
namespace {

// Writes down the events it is told of, a string's pieces joined.
class Recorder final : public JsonListener {
 public:
  void open(JsonContainer container) override {
    events += container == JsonContainer::kObject ? "{ " : "[ ";
  }
  void close() override { events += "} "; }
  void key_piece(std::string_view bytes) override { text_ += bytes; }
  void key_end() override { events += "key:" + std::exchange(text_, "") + " "; }
  void string_piece(std::string_view bytes) override { text_ += bytes; }
  void value_end(JsonScalar kind) override {
    const char* names[] = {"string:", "number", "literal"};
    events += names[static_cast<int>(kind)] + std::exchange(text_, "") + " ";
  }

  std::string events;

 private:
  std::string text_;
};

// The text fed whole, or one byte at a time: "OK" or the fault's text.
std::string read_json(const std::string& text, bool byte_by_byte, JsonListener& listener) {
  JsonReader reader(listener);
  if (byte_by_byte) {
    for (const char& c : text) reader.feed({&c, 1});
  } else {
    reader.feed(text);
  }
  const auto read = reader.finish();
  return read ? "OK" : read.error().text();
}

struct Case {
  std::string name;
  std::string input;
  std::string expected;
};

// tests/data/json_cases.tsv: the verdicts of the reference JSON library (name, input in hex,
// "OK" or the error text), one case a line after a header line.
std::vector<Case> reference_cases() {
  std::ifstream file(OSKEL_TEST_DATA "/json_cases.tsv");
  std::vector<Case> cases;
  std::string line;
  std::getline(file, line);
  while (std::getline(file, line)) {
    Case c;
    std::string hex;
    std::istringstream fields(line);
    std::getline(fields, c.name, '\t');
    std::getline(fields, hex, '\t');
    std::getline(fields, c.expected);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      c.input += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    cases.push_back(std::move(c));
  }
  return cases;
}

TEST(JsonReader, GivesTheReferenceVerdictWholeAndByteByByte) {
  const auto cases = reference_cases();
  ASSERT_EQ(cases.size(), 373u);
  JsonListener ignored;
  for (const auto& c : cases) {
    for (const bool byte_by_byte : {false, true}) {
      EXPECT_EQ(read_json(c.input, byte_by_byte, ignored), c.expected)
          << c.name << (byte_by_byte ? " byte by byte" : "");
    }
  }
}

TEST(JsonReader, ReportsEventsInTextOrderWithStringsDecoded) {
  const struct {
    std::string text;
    std::string events;
  } cases[] = {
      {R"({"a": [1, -2.5e3, true, null, "x\/\u00e9\ud83d\ude00"], "b\"": {}, "": ""})",
       "{ key:a [ number number literal literal string:x/\xC3\xA9\xF0\x9F\x98\x80 } key:b\" { } "
       "key: string: } "},
      // Each escape at an edge of a UTF-8 length: 1, 2, 3 and 4 bytes.
      {R"(["\u007f\u0080\u07ff\u0800\uffff\ud800\udc00\udbff\udfff"])",
       "[ string:\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF } "},
      {"12", "number "},
      // Nothing after a fault.
      {"[0, 01]", "[ number "},
  };
  for (const auto& c : cases) {
    for (const bool byte_by_byte : {false, true}) {
      Recorder recorder;
      read_json(c.text, byte_by_byte, recorder);
      EXPECT_EQ(recorder.events, c.events) << c.text << (byte_by_byte ? " byte by byte" : "");
    }
  }
}

// A number past a limit (a u64 significand, an i32 exponent) is judged at the digit that passes
// it, the limit itself still within: the positions the reference cases give elsewhere.
TEST(JsonReader, NumberLimitsAreCrossedAtTheDigitPastThem) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"18446744073709551615x", "trailing characters at line 1 column 21"},
      {"[1e2147483647]", "number out of range at line 1 column 13"},
      {"[1e21474836470]", "number out of range at line 1 column 14"},
      {"[18446744073709551615e21474836470]", "number out of range at line 1 column 33"},
      {"[0e21474836470]", "OK"},
  };
  JsonListener ignored;
  for (const auto& c : cases) {
    for (const bool byte_by_byte : {false, true}) {
      EXPECT_EQ(read_json(c.text, byte_by_byte, ignored), c.expected)
          << c.text << (byte_by_byte ? " byte by byte" : "");
    }
  }
}

}  // namespace
}  // namespace common::collectors
