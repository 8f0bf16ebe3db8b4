// libFuzzer target: configuration text to log directory and log file name, the way the log
// stage takes it. Whatever the input, this must not crash, hang or throw, and the reader must
// give the same outcome whether the text comes whole or in pieces (cut here every 7 bytes, so
// that a piece ends inside every kind of token somewhere in the corpus).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/collectors/log_location.h"
#include "common/collectors/log_setting.h"

namespace {

std::string outcome(const common::Result<std::string>& setting) {
  return setting ? "ok:" + *setting : "error:" + setting.error().text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  common::collectors::LogSettingReader whole;
  whole.feed(text);
  const auto setting = whole.finish();
  common::collectors::LogSettingReader pieces;
  for (std::size_t at = 0; at < text.size(); at += 7) pieces.feed(text.substr(at, 7));
  if (outcome(pieces.finish()) != outcome(setting)) __builtin_trap();
  // A fault is one short line that never quotes the text.
  if (!setting && setting.error().text().size() > 120) __builtin_trap();
  if (!setting) return 0;
  const auto location = common::collectors::split_log_location(*setting);
  if (location && location->file_name.empty()) __builtin_trap();  // never empty
  return 0;
}
