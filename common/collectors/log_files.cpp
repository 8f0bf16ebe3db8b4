#include "common/collectors/log_files.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/access/access.h"
#include "common/collectors/log_location.h"
#include "common/collectors/log_setting.h"
#include "common/copy_file.h"
#include "common/file_io.h"
#include "common/utf8.h"

namespace common::collectors {

namespace {

// The names selected, in listing order, each ended by a NUL (no name holds one), in blocks:
// memory follows the names' bytes, without a string per entry or a buffer that doubles.
class Selection {
 public:
  void add(std::string_view name) {
    if (blocks_.empty() || blocks_.back().size() + name.size() + 1 > blocks_.back().capacity()) {
      blocks_.emplace_back();
      blocks_.back().reserve(std::max(blocks_.size() == 1 ? kFirstBlock : kBlock, name.size() + 1));
    }
    blocks_.back().append(name).push_back('\0');
    ++count_;
  }

  std::size_t count() const { return count_; }

  template <typename Visit>
  void for_each(const Visit& visit) const {
    for (const std::string& block : blocks_) {
      for (std::size_t start = 0; start < block.size();) {
        const char* name = block.c_str() + start;
        start += std::strlen(name) + 1;
        visit(name);
      }
    }
  }

 private:
  static constexpr std::size_t kFirstBlock = 16 << 10;
  static constexpr std::size_t kBlock = 1 << 20;
  std::vector<std::string> blocks_;
  std::size_t count_ = 0;
};

// What the stage's resolutions may walk together: one long chain, and a few components for
// each entry. A directory of entries that are each
// a chain of long links then costs little more than as many plain logs: once the budget is spent,
// every further entry fails at once.
constexpr std::uint64_t kStageComponents = 1024;
constexpr std::uint64_t kComponentsPerEntry = 64;

// Lists the whole directory before anything is copied; a failed read of the listing ends the
// stage with nothing copied.
Result<Selection> select_log_files(const access::Opened& dir, std::string_view file_name) {
  auto listing_fd = duplicate_fd(dir.fd.get());
  if (!listing_fd) return std::unexpected(listing_fd.error());
  auto listing = DirStream::adopt(std::move(*listing_fd));
  if (!listing) return std::unexpected(listing.error());
  Selection selected;
  for (;;) {
    auto entry = listing->next();
    if (!entry) return std::unexpected(entry.error());
    if (*entry == nullptr) return selected;
    const char* name = (*entry)->d_name;
    // The cheap name test first: most entries of a log directory do not match.
    if (to_utf8_lossy(name).find(file_name) == std::string::npos) continue;
    // A directory the listing is sure of is left out here; one behind a link, or where the
    // file system does not say, when its copy finds it.
    if ((*entry)->d_type == DT_DIR) continue;
    selected.add(name);
  }
}

}  // namespace

Result<> collect_log_files(const std::string& config_path, const OutputDir& output_dir,
                           std::span<const std::string> own_names) {
  access::Walk config_way;
  auto config = config_way.file(config_path, access::OnDirectory::kIsADirectory);
  if (!config) return std::unexpected(config.error());
  auto setting = read_log_file_setting(config->fd.get());
  if (!setting) return std::unexpected(setting.error());
  auto location = split_log_location(*setting);
  if (!location) return std::unexpected(location.error());
  // Whoever chose the configuration, owns it, or may write it as one of everyone chose the log
  // location: every log is read with their rights, and with those of whoever chose the way to
  // the logs. Its group's and ACL's writers write in its owner's name.
  access::Parties log_choosers = config_way.choosers();
  access::Changers named;
  named.add(access::writers_of(config->fd.get(), config->st));
  log_choosers.add(access::choosers(named));
  access::Walk log_way(std::move(log_choosers));
  access::WorkBudget budget{kStageComponents};
  log_way.spend_from(&budget);
  auto dir = log_way.directory(location->directory, true);
  if (!dir) return std::unexpected(dir.error());
  auto selected = select_log_files(*dir, location->file_name);
  if (!selected) return std::unexpected(selected.error());
  budget.components += kComponentsPerEntry * selected->count();
  // One entry that cannot be copied (a dangling link, a socket) must not lose the others:
  // every one is tried, and the first failure is the stage's.
  Result<> outcome;
  selected->for_each([&](const char* name) {
    if (!outcome && outcome.error().kind() == ErrorKind::kInterrupted) return;
    auto from = log_way.branch().file_at(name, access::OnDirectory::kSkip);
    if (!from && from.error().kind() == ErrorKind::kDirectory) return;
    Result<> copied;
    if (!from) {
      copied = std::unexpected(from.error());
    } else if (std::find(own_names.begin(), own_names.end(), name) != own_names.end()) {
      copied = refuse(kOwnFileName);
    } else {
      copied = copy_open_file(*from, output_dir.fd(), name);
    }
    const bool interrupted = !copied && copied.error().kind() == ErrorKind::kInterrupted;
    if (!copied && (outcome || interrupted)) outcome = std::move(copied);
  });
  return outcome;
}

}  // namespace common::collectors
