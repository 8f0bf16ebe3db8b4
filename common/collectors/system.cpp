#include "common/collectors/system.h"

#include <sys/utsname.h>

#include <string_view>

#include "common/file_io.h"
#include "common/utf8.h"

namespace common::collectors {

namespace {

// The part of a release file that is looked at: its first kReleaseScanLimit bytes, without a
// last line that the limit cut short. A file that cannot be opened or read states nothing.
std::optional<std::string> read_release_file(const std::string& path) {
  auto fd = open_for_reading(path);
  if (!fd) return std::nullopt;
  auto content = read_prefix(fd->get(), kReleaseScanLimit + 1);
  if (!content) return std::nullopt;
  if (content->size() > kReleaseScanLimit) {
    content->resize(kReleaseScanLimit);
    const auto last_newline = content->rfind('\n');
    content->resize(last_newline == std::string::npos ? 0 : last_newline + 1);
  }
  return std::move(*content);
}

}  // namespace

std::optional<std::string> release_field(const std::string& content, const std::string& key) {
  std::string_view rest = content;
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    // A line that is not text is skipped; the rest of the file still counts.
    if (!line.starts_with(key) || validate_utf8(line)) continue;
    std::string value;
    for (const char c : line.substr(key.size())) {
      if (c != '"') value += c;
    }
    return value;
  }
  return std::nullopt;
}

std::optional<std::string> System::kernel_version() const {
  struct utsname names;
  if (uname(&names) != 0) return std::nullopt;
  return std::string(names.release);
}

std::optional<std::string> System::os_release() const {
  if (!os_release_) os_release_ = read_release_file(files_.os_release);
  return *os_release_;
}

std::optional<std::string> System::long_os_version() const {
  const auto os_release = this->os_release();
  std::optional<std::string> lsb_release;
  bool lsb_read = false;
  const auto field = [&](const std::string& key, const std::string& fallback_key) {
    if (os_release) {
      if (auto value = release_field(*os_release, key)) return *value;
    }
    if (!lsb_read) {
      lsb_release = read_release_file(files_.lsb_release);
      lsb_read = true;
    }
    if (lsb_release) {
      if (auto value = release_field(*lsb_release, fallback_key)) return *value;
    }
    return std::string();
  };
  const std::string version = field("VERSION_ID=", "DISTRIB_RELEASE=");
  const std::string name = field("NAME=", "DISTRIB_ID=");
  return "Linux " + version + " " + name;
}

Result<std::string> required_os_version(const System& system) {
  auto version = system.long_os_version();
  if (!version) return fail("Failed to retrieve os version");
  return std::move(*version);
}

}  // namespace common::collectors
