// The "logging" → "log_file" setting of the configuration file, read in one pass over the file
// in chunks by the strict JSON reader (json_reader.h). The file must be UTF-8, then exactly one
// JSON value, then hold a string at that place; the first of these checks that fails is the
// error. Only the setting's decoded text is kept, and of each key no more than tells it from
// the keys looked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/collectors/json_reader.h"
#include "common/error.h"

namespace common::collectors {

// Finds the string at "logging" → "log_file" in the events of a JsonReader. A later duplicate
// of either key replaces what an earlier one gave.
class LogFileLookup final : public JsonListener {
 public:
  void open(JsonContainer container) override;
  void close() override { --depth_; }
  void key_piece(std::string_view bytes) override;
  void key_end() override;
  void string_piece(std::string_view bytes) override;
  void value_end(JsonScalar kind) override;

  // The last "log_file" string of the last "logging" object, if any; asked once, at the end.
  std::optional<std::string> take_found() { return std::move(found_); }

 private:
  // Which value the next one is: the top-level "logging", its "log_file", or another.
  enum class Slot : std::uint8_t { kNone, kOuter, kInner };
  Slot take_slot();

  std::size_t depth_ = 0;
  Slot next_slot_ = Slot::kNone;
  bool in_outer_ = false;  // the object open at level 2 is the top-level "logging"
  std::string key_;        // up to one byte more than the longest key looked for
  std::string text_;       // the string value at "log_file" being read
  std::optional<std::string> found_;
};

// The text of the configuration file, fed in pieces of any size.
class LogSettingReader {
 public:
  LogSettingReader() : json_(lookup_) {}

  void feed(std::string_view piece) { json_.feed(piece); }
  // The decoded "log_file" string, or the error: the UTF-8 one, the JSON fault, or "Failed to
  // read log location from config" when there is no string at that place.
  Result<std::string> finish();

 private:
  LogFileLookup lookup_;
  JsonReader json_;
};

// Reads the configuration from the open descriptor `config_fd` (a regular file) to its end,
// in chunks: a read error, then a file larger than kWholeFileLimit (EFBIG), then the errors of
// LogSettingReader::finish, in that order.
Result<std::string> read_log_file_setting(int config_fd);

}  // namespace common::collectors
