#include "common/collectors/log_files.h"

#include <sys/stat.h>

#include <string_view>
#include <vector>

#include "common/collectors/log_location.h"
#include "common/collectors/log_setting.h"
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

}  // namespace

Result<> collect_log_files(const std::string& config_path, const OutputDir& output_dir) {
  auto config = open_for_reading(config_path);
  if (!config) return std::unexpected(config.error());
  auto setting = read_log_file_setting(config->get());
  if (!setting) return std::unexpected(setting.error());
  auto location = split_log_location(*setting);
  if (!location) return std::unexpected(location.error());
  auto selected = select_log_files(*location);
  if (!selected) return std::unexpected(selected.error());
  // One entry that cannot be copied (a dangling link, a socket) must not lose the others:
  // every one is tried, and the first failure is the stage's.
  Result<> outcome;
  for (const auto& file : *selected) {
    auto copied = copy_file(file.source, output_dir.fd(), file.name);
    if (!copied && copied.error().kind() == ErrorKind::kInterrupted) return copied;
    if (!copied && outcome) outcome = std::move(copied);
  }
  return outcome;
}

}  // namespace common::collectors
