#include "common/collectors/log_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "common/collectors/log_location.h"
#include "common/copy_file.h"
#include "common/file_io.h"
#include "common/path.h"
#include "common/utf8.h"

namespace common::collectors {

namespace {

struct Selected {
  std::string source;
  std::string name;
};

// Lists the whole directory before anything is copied; a failed read of the listing ends the
// stage with nothing copied.
Result<std::vector<Selected>> select_log_files(const LogLocation& location) {
  auto dir = DirStream::open(location.directory);
  if (!dir) return std::unexpected(dir.error());
  std::vector<Selected> selected;
  for (;;) {
    auto entry = dir->next();
    if (!entry) return std::unexpected(entry.error());
    if (*entry == nullptr) return selected;
    const std::string name = (*entry)->d_name;
    // The cheap name test first: most entries of a log directory do not match.
    if (to_utf8_lossy(name).find(location.file_name) == std::string::npos) continue;
    std::string source = join_path(location.directory, name);
    struct stat target;
    if (::stat(source.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) continue;
    selected.push_back({std::move(source), name});
  }
}

// The "logging" / "log_file" setting of the configuration file. A seekable file is read twice
// in chunks, once for its size and UTF-8 and once to parse it, so memory stays small whatever
// its size; anything else (a FIFO) can only be read once, whole. A file rewritten between the
// two passes is parsed as it then stands, within the size the first pass found.
Result<std::string> configured_log_file(const std::string& config_path) {
  auto fd = open_for_reading(config_path);
  if (!fd) return std::unexpected(fd.error());
  if (::lseek(fd->get(), 0, SEEK_CUR) < 0) {
    auto text = read_all(fd->get(), kWholeFileLimit);
    if (!text) return std::unexpected(text.error());
    if (validate_utf8(*text)) return fail(ErrorKind::kInvalidData, kInvalidUtf8Stream);
    return read_log_file_setting(*text);
  }
  // Read on past a UTF-8 error: a read error or a file too large comes first.
  Utf8Stream utf8;
  bool valid = true;
  char buffer[64 * 1024];
  auto size = read_chunks(fd->get(), buffer, kWholeFileLimit + 1, [&](std::string_view chunk) {
    if (valid) valid = !utf8.feed(chunk);
    return Result<>();
  });
  if (!size) return std::unexpected(size.error());
  if (*size > kWholeFileLimit) return os_error(EFBIG);
  if (!valid || utf8.finish()) return fail(ErrorKind::kInvalidData, kInvalidUtf8Stream);
  if (::lseek(fd->get(), 0, SEEK_SET) < 0) return os_error(errno);
  return read_log_file_setting(fd->get(), *size);
}

}  // namespace

Result<> collect_log_files(const std::string& config_path, const std::string& output_dir) {
  auto setting = configured_log_file(config_path);
  if (!setting) return std::unexpected(setting.error());
  auto location = split_log_location(*setting);
  if (!location) return std::unexpected(location.error());
  auto selected = select_log_files(*location);
  if (!selected) return std::unexpected(selected.error());
  // One entry that cannot be copied (a dangling link, a socket) must not lose the others:
  // every one is tried, and the first failure is the stage's.
  Result<> outcome;
  for (const auto& file : *selected) {
    auto copied = copy_file(file.source, join_path(output_dir, file.name));
    if (!copied && copied.error().kind() == ErrorKind::kInterrupted) return copied;
    if (!copied && outcome) outcome = std::move(copied);
  }
  return outcome;
}

}  // namespace common::collectors
