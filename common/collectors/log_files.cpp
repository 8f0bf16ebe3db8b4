#include "common/collectors/log_files.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/collectors/log_location.h"
#include "common/collectors/log_setting.h"
#include "common/copy_file.h"
#include "common/file_io.h"
#include "common/fs_identity.h"
#include "common/source_file.h"
#include "common/utf8.h"

namespace common::collectors {

namespace {

// The names selected, each ended by a NUL (no name holds one): one buffer, whatever their
// number, instead of a string per entry.
using Selection = std::string;

// Lists the whole directory before anything is copied; a failed read of the listing ends the
// stage with nothing copied.
Result<Selection> select_log_files(const SourceDir& dir, std::string_view file_name,
                                   const Steering& steering) {
  UniqueFd listing_fd(::fcntl(dir.fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!listing_fd.valid()) return os_error(errno);
  auto listing = DirStream::adopt(std::move(listing_fd));
  if (!listing) return std::unexpected(listing.error());
  Selection selected;
  for (;;) {
    auto entry = listing->next();
    if (!entry) return std::unexpected(entry.error());
    if (*entry == nullptr) return selected;
    const char* name = (*entry)->d_name;
    // The cheap name test first: most entries of a log directory do not match.
    if (to_utf8_lossy(name).find(file_name) == std::string::npos) continue;
    // The listing's type spares a look-up where it is sure and no link is involved.
    const unsigned char type = (*entry)->d_type;
    if (type == DT_DIR) continue;
    if ((type == DT_LNK || type == DT_UNKNOWN) && is_directory_at(dir, name, steering)) continue;
    selected.append(name);
    selected.push_back('\0');
  }
}

}  // namespace

Result<> collect_log_files(const std::string& config_path, const OutputDir& output_dir) {
  // Whoever controls the configuration chooses what the log stage reads: every log is read
  // with that account's rights.
  const Steering steering = path_steering(config_path, true);
  auto config = open_source(config_path, OnDirectory::kIsADirectory);
  if (!config) return std::unexpected(config.error());
  auto setting = read_log_file_setting(config->fd.get());
  if (!setting) return std::unexpected(setting.error());
  auto location = split_log_location(*setting);
  if (!location) return std::unexpected(location.error());
  auto dir = open_source_dir(location->directory, steering, true);
  if (!dir) return std::unexpected(dir.error());
  auto selected = select_log_files(*dir, location->file_name, steering);
  if (!selected) return std::unexpected(selected.error());
  // One entry that cannot be copied (a dangling link, a socket) must not lose the others:
  // every one is tried, and the first failure is the stage's.
  Result<> outcome;
  for (std::size_t start = 0; start < selected->size();) {
    const char* name = selected->c_str() + start;
    start += std::strlen(name) + 1;
    auto from = open_source_at(*dir, name, steering);
    auto copied = from ? copy_open_file(*from, output_dir.fd(), name)
                       : Result<>(std::unexpected(from.error()));
    if (!copied && copied.error().kind() == ErrorKind::kInterrupted) return copied;
    if (!copied && outcome) outcome = std::move(copied);
  }
  return outcome;
}

}  // namespace common::collectors
