// libFuzzer target: reading a release file (/etc/os-release, /etc/lsb-release) for a key, the
// way the distribution's long version is formed. Any bytes, any length: a value found must be
// valid UTF-8, lie on one line and hold no double quote; nothing may crash, hang or throw.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/collectors/system.h"
#include "common/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"NAME=", "VERSION_ID=", "DISTRIB_ID=", "DISTRIB_RELEASE="}) {
    const auto value = common::collectors::release_field(content, key);
    if (!value) continue;
    if (common::validate_utf8(*value)) __builtin_trap();
    if (value->find_first_of("\"\n") != std::string::npos) __builtin_trap();
    if (content.find(key) == std::string::npos) __builtin_trap();
  }
  return 0;
}
