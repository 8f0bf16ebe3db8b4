#include "common/collectors/package_details.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/child_process.h"
#include "common/file_io.h"
#include "common/path.h"
#include "common/utf8.h"

namespace common::collectors {

namespace {
constexpr std::size_t kFilterBlock = 64 * 1024;
}  // namespace

Result<> ListingFilter::feed(std::string_view piece) {
  while (!piece.empty()) {
    const auto newline = piece.find('\n');
    const std::string_view part = piece.substr(0, newline);
    if (!row_matches_) {
      row_matches_ =
          part.find(name_) != std::string_view::npos ||
          (!tail_.empty() &&
           (tail_ + std::string(part.substr(0, name_.size()))).find(name_) != std::string::npos);
    }
    buffer_ += part;
    if (newline == std::string_view::npos) {
      tail_ += part.substr(part.size() - std::min(part.size(), name_.size()));
      if (tail_.size() >= name_.size()) tail_.erase(0, tail_.size() + 1 - name_.size());
      return buffer_.size() >= kFilterBlock ? flush() : Result<>();
    }
    if (auto ended = end_row(); !ended) return ended;
    piece.remove_prefix(newline + 1);
  }
  return buffer_.size() >= kFilterBlock ? flush() : Result<>();
}

Result<> ListingFilter::end_row() {
  if (row_matches_) {
    buffer_ += '\n';
  } else if (row_start_in_file_ >= 0) {
    // Its start went out with an earlier block: take it back.
    if (::ftruncate(fd_, row_start_in_file_) != 0 ||
        ::lseek(fd_, row_start_in_file_, SEEK_SET) < 0) {
      return os_error(errno);
    }
    written_ = row_start_in_file_;
    buffer_.clear();
  } else {
    buffer_.resize(row_start_);
  }
  row_start_ = buffer_.size();
  row_start_in_file_ = -1;
  row_matches_ = false;
  tail_.clear();
  return {};
}

Result<> ListingFilter::flush() {
  if (auto out = write_all(fd_, buffer_); !out) return out;
  if (row_start_in_file_ < 0) row_start_in_file_ = written_ + static_cast<off_t>(row_start_);
  written_ += static_cast<off_t>(buffer_.size());
  buffer_.clear();
  row_start_ = 0;
  return {};
}

Result<> ListingFilter::finish() {
  if (auto ended = end_row(); !ended) return ended;
  return flush();
}

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

Result<> collect_package_details(const std::string& output_dir, std::string_view short_name,
                                 std::string_view package_name) {
  return collect_package_details(output_dir, short_name, package_name, System(),
                                 kPackageToolTimeLimit);
}

namespace {

// Streams the tool's output into the package file; the file is removed unless the whole
// output was kept and was UTF-8.
Result<> save_tool_output(const std::string& package_file, std::string_view package_name,
                          bool filter_rows, const std::string& program,
                          const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit) {
  UniqueFd file(::open(package_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.valid()) return os_error(errno);
  Utf8Stream utf8;
  ListingFilter rows(file.get(), package_name);
  const auto keep = [&](std::string_view chunk) -> Result<> {
    if (const auto error = utf8.feed(chunk)) {
      return fail(ErrorKind::kOther, utf8_error_text(*error));
    }
    return filter_rows ? rows.feed(chunk) : write_all(file.get(), chunk);
  };
  // The tool's exit status and standard error say nothing we keep.
  Result<> saved;
  if (auto ran = run_streaming(program, arguments, time_limit, keep); !ran) {
    saved = std::unexpected(ran.error());
  } else {
    if (const auto error = utf8.finish()) saved = fail(ErrorKind::kOther, utf8_error_text(*error));
  }
  if (saved && filter_rows) saved = rows.finish();
  if (saved) saved = file.close();
  if (!saved) ::unlink(package_file.c_str());
  return saved;
}

}  // namespace

Result<> collect_package_details(const std::string& output_dir, std::string_view short_name,
                                 std::string_view package_name, const System& system,
                                 std::chrono::seconds time_limit) {
  const std::string package_file =
      join_path(output_dir, std::string(short_name) + "PackageInfo.txt");
  const auto os_version = system.long_os_version();
  if (!os_version) return fail(ErrorKind::kNotFound, "Failed to retrieve os version");
  if (asks_dpkg_query(system, *os_version)) {
    return save_tool_output(package_file, package_name, true, "dpkg-query", {"--list"}, time_limit);
  }
  return save_tool_output(package_file, package_name, false, "rpm",
                          {"-qi", std::string(package_name)}, time_limit);
}

}  // namespace common::collectors
