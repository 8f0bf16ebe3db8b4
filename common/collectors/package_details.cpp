#include "common/collectors/package_details.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/access/disk_margin.h"
#include "common/child_process.h"
#include "common/collectors/listing_filter.h"
#include "common/file_io.h"
#include "common/utf8.h"

namespace common::collectors {

bool asks_dpkg_query(const System& system, const std::string& os_version) {
  if (os_version.find("Ubuntu") != std::string::npos) return true;
  const std::string os_release = system.os_release().value_or("");
  std::string ids = release_field(os_release, "ID=").value_or("") + " " +
                    release_field(os_release, "ID_LIKE=").value_or("");
  // Space-separated words, as os-release lists them; a value may be in single quotes too.
  std::replace(ids.begin(), ids.end(), '\'', ' ');
  for (std::size_t start = 0; start < ids.size();) {
    const std::size_t end = std::min(ids.find(' ', start), ids.size());
    const std::string_view id = std::string_view(ids).substr(start, end - start);
    if (id == "debian" || id == "ubuntu") return true;
    start = end + 1;
  }
  return false;
}

std::string package_file_name(std::string_view short_name) {
  return std::string(short_name) + "PackageInfo.txt";
}

Result<> collect_package_details(const OutputDir& output_dir, std::string_view short_name,
                                 std::string_view package_name) {
  return collect_package_details(output_dir, short_name, package_name, System(),
                                 kPackageToolTimeLimit);
}

namespace {

// Streams the tool's output into the package file, `name` in the directory open as `dir_fd`;
// the file is removed unless the whole output was kept and was UTF-8.
Result<> save_tool_output(int dir_fd, const std::string& name, std::string_view package_name,
                          bool filter_rows, const std::string& program,
                          const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit) {
  if (auto room = access::check_disk_margin(dir_fd, 0, 1); !room) return room;
  UniqueFd file(
      ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!file.valid()) return os_error(errno);
  Utf8Stream utf8;
  ListingFilter rows(file.get(), package_name);
  const auto keep = [&](std::string_view chunk) -> Result<> {
    if (const auto error = utf8.feed(chunk)) {
      return fail(utf8_error_text(*error));
    }
    return filter_rows ? rows.feed(chunk) : write_all(file.get(), chunk);
  };
  // The tool's exit status and standard error say nothing we keep.
  Result<> saved;
  if (auto ran = run_streaming(program, arguments, time_limit, keep); !ran) {
    saved = std::unexpected(ran.error());
  } else {
    if (const auto error = utf8.finish()) saved = fail(utf8_error_text(*error));
  }
  if (saved && filter_rows) saved = rows.finish();
  if (saved) saved = file.close();
  if (!saved) ::unlinkat(dir_fd, name.c_str(), 0);
  return saved;
}

}  // namespace

Result<> collect_package_details(const OutputDir& output_dir, std::string_view short_name,
                                 std::string_view package_name, const System& system,
                                 std::chrono::seconds time_limit) {
  const std::string package_file = package_file_name(short_name);
  const auto os_version = required_os_version(system);
  if (!os_version) return std::unexpected(os_version.error());
  if (asks_dpkg_query(system, *os_version)) {
    return save_tool_output(output_dir.fd(), package_file, package_name, true, "dpkg-query",
                            {"--list"}, time_limit);
  }
  return save_tool_output(output_dir.fd(), package_file, package_name, false, "rpm",
                          {"-qi", std::string(package_name)}, time_limit);
}

}  // namespace common::collectors
