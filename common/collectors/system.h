// What the collectors need to know of the host: the running kernel's release and the
// distribution's long version ("Linux <VERSION_ID> <NAME>"). Nothing else is gathered, since
// every extra look-up costs time on a host that is already in trouble.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/error.h"

namespace common::collectors {

struct SystemFiles {
  std::string os_release = "/etc/os-release";
  std::string lsb_release = "/etc/lsb-release";
};

class System {
 public:
  explicit System(SystemFiles files = {}) : files_(std::move(files)) {}

  // uname(2)'s release, or nothing if uname fails.
  std::optional<std::string> kernel_version() const;
  // "Linux", the version identifier and the name, each part empty when the host does not
  // state it.
  std::optional<std::string> long_os_version() const;
  // The part of os-release that is looked at (see kReleaseScanLimit), if it can be read: read
  // once, however often a stage asks.
  std::optional<std::string> os_release() const;

 private:
  SystemFiles files_;
  mutable std::optional<std::optional<std::string>> os_release_;
};

// The long OS version, or the stages' error when there is none.
Result<std::string> required_os_version(const System& system);

// Release files are looked at up to this many bytes; a line beyond counts as not there.
inline constexpr std::size_t kReleaseScanLimit = 1 << 20;

// The text after `key` on the first line of `content` that begins with it and is valid UTF-8,
// with every double quote removed; nothing when no line does.
std::optional<std::string> release_field(const std::string& content, const std::string& key);

}  // namespace common::collectors
