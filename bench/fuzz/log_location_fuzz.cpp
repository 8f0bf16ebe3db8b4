// libFuzzer target: configuration text to log directory and log file name, the way the log
// stage takes it. Whatever the input, this must not crash, hang or throw.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/collectors/log_location.h"
#include "common/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (common::validate_utf8(text)) return 0;  // the stage refuses such text before parsing
  const auto setting = common::collectors::read_log_file_setting(text);
  if (!setting) return 0;
  const auto location = common::collectors::split_log_location(*setting);
  if (location && location->file_name.empty()) __builtin_trap();  // never empty
  return 0;
}
