#include "common/access/resolver.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/access/file_systems.h"
#include "common/access/way.h"
#include "common/access/writers.h"
#include "common/test_seam.h"

namespace common::access {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
// Components in all, links' targets included: a chain of long targets such as "d/../d/../..."
// must cost little before it fails.
constexpr int kMaxComponents = 1024;

constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

// The type a file looked up with links followed must have to be opened.
Result<> check_type(const struct stat& st, OnDirectory on_directory) {
  if (S_ISREG(st.st_mode)) return {};
  // What opening them would have said, without opening them.
  if (S_ISSOCK(st.st_mode)) return os_error(ENXIO);
  if (S_ISDIR(st.st_mode) && on_directory == OnDirectory::kIsADirectory) return os_error(EISDIR);
  if (S_ISDIR(st.st_mode) && on_directory == OnDirectory::kSkip) {
    return fail("a directory", ErrorKind::kDirectory);
  }
  return refuse(kNotRegularFile);
}

Result<Opened> duplicate(const Opened& opened) {
  auto fd = duplicate_fd(opened.fd.get());
  if (!fd) return std::unexpected(fd.error());
  return Opened{std::move(*fd), opened.st};
}

// Whether `party`, opening entry `name` of `dir` with `flags` as itself, finds `found`.
bool finds_same(Party party, int dir, const char* name, int flags, const struct stat& found) {
  const ScopedCredentials as(party.credentials());
  if (!as.switched() || !as.dropped()) return false;
  const UniqueFd again(::openat(dir, name, flags | O_CLOEXEC));
  struct stat st;
  return again.valid() && stat_held(again.get(), st) && same_inode(st, found);
}

}  // namespace

std::string chosen_by_text(Party party) {
  switch (party.kind) {
    case Party::Kind::kAccount:
      break;
    case Party::Kind::kEveryone:
      return "the source path may have been chosen by anyone, and not everyone may read it";
  }
  return "the source path was chosen by another account (uid " + std::to_string(party.id) +
         "), which may not read it";
}

Resolver Resolver::branch() const {
  return Resolver(choosers_, judge_writers_, writers_beyond_run_, budget_, links_, components_);
}

// What a refusal as `party` says: everyone's never names an id.
std::string Resolver::refused_as(Party party) const {
  if (party.kind != Party::Kind::kEveryone && choosers_.size() > 1) return kChosenByMany;
  return chosen_by_text(party);
}

// No way enters a FUSE file system another account serves (or no one known), and a way another
// account chose enters none at all.
Result<> Resolver::refuse_served(const Opened& opened) const {
  FuseServer server = fuse_server(opened.st.st_dev, opened.fd.get());
  // Without a mount table, another account's way is not entered at all: statfs would ask.
  if (server.unknown && choosers_.empty()) server.fuse = statfs_says_fuse(opened.fd.get());
  if (server.another_account() || ((server.fuse || server.unknown) && !choosers_.empty())) {
    return refuse(kServedByAnotherAccount);
  }
  return {};
}

void Resolver::take_credentials() {
  // Everyone first where it chose: it may read least, and its refusal names no one.
  const std::optional<Party> wanted = choosers_.empty() ? std::nullopt
                                      : choosers_.contains(Party::everyone())
                                          ? std::optional(Party::everyone())
                                          : std::optional(choosers_.front());
  if (held_for_ == wanted && (held_ || !wanted)) return;
  held_.reset();
  held_for_ = wanted;
  if (wanted) held_.emplace(wanted->credentials());
}

// Opens `name` relative to `dir` with the choosers' rights and reads what it is.
Result<Opened> Resolver::open_at(int dir, const char* name, int flags) {
  take_credentials();
  // The capabilities that would pass the kernel's checks must still be gone, every step.
  if (held_ && held_->switched() && !held_->dropped()) return os_error(EPERM);
  Opened opened;
  opened.fd = UniqueFd(::openat(dir, name, flags | O_CLOEXEC));
  if (!opened.fd.valid()) {
    const int error = errno;
    // O_NOFOLLOW refuses a link swapped in since the look-up: no longer what was looked up.
    if (error == ELOOP && (flags & O_NOFOLLOW) != 0 && (flags & O_PATH) == 0) {
      return refuse(kNotRegularFile);
    }
    if (error == EACCES && held_ && held_->switched()) return refuse(refused_as(*held_for_));
    return os_error(error);
  }
  if (!stat_held(opened.fd.get(), opened.st)) return os_error(errno);
  // Every other chooser must find the same thing there: each directory on the way, not only
  // the file at its end, must be open to all of them.
  if (choosers_.size() > 1 && held_ && held_->switched()) {
    for (const Party& party : choosers_) {
      if (party != *held_for_ && !finds_same(party, dir, name, flags, opened.st)) {
        return refuse(refused_as(party));
      }
    }
  }
  return opened;
}

// A directory the way passes into: beyond it, everything is its owner's choice.
Result<Opened> Resolver::enter(Result<Opened> dir) {
  if (!dir) return dir;
  choosers_.add(owner_of(dir->st));
  // No chooser passes a directory through holding an unheld id.
  for (const Party& party : choosers_) {
    if (owed_to_unheld_id(party, dir->st, S_IXOTH)) return refuse(refused_as(party));
  }
  if (auto served = refuse_served(*dir); !served) return std::unexpected(served.error());
  return dir;
}

Result<Opened> Resolver::start(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail("file name contained an unexpected NUL byte");
  }
  if (path.empty()) return os_error(ENOENT);
  return enter(open_at(AT_FDCWD, path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY));
}

Result<Opened> Resolver::directory(std::string_view path, bool listable) {
  const Release release{*this};
  auto from = start(path);
  if (!from) return from;
  auto dir = walk(std::move(*from), path, listable ? Want::kListable : Want::kSearchable,
                  OnDirectory::kNotRegular);
  // An O_PATH descriptor asks for no permission: the choosers must be able to search it, as a
  // look-up in it would need.
  if (dir && !listable) {
    if (auto searched = open_at(dir->fd.get(), ".", O_PATH | O_DIRECTORY); !searched) {
      return std::unexpected(searched.error());
    }
  }
  return dir;
}

Result<Opened> Resolver::file(std::string_view path, OnDirectory on_directory) {
  const Release release{*this};
  auto from = start(path);
  if (!from) return from;
  return walk(std::move(*from), path, Want::kFile, on_directory);
}

Result<Opened> Resolver::file_at(const Opened& dir, std::string_view name,
                                 OnDirectory on_directory) {
  const Release release{*this};
  return step(dir, std::string(name), Want::kFile, on_directory);
}

Result<Opened> Resolver::walk(Opened current, std::string_view path, Want want,
                              OnDirectory on_directory) {
  std::size_t begin = 0;
  while (begin < path.size()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string part(path.substr(begin, end - begin));
    begin = path.find_first_not_of('/', end);
    if (begin == std::string_view::npos) begin = path.size();
    const bool last = begin == path.size();
    if (part.empty()) continue;
    if (++components_ > kMaxComponents) return os_error(ELOOP);
    if (budget_ != nullptr && budget_->components-- == 0) {
      budget_->components = 0;
      return os_error(ELOOP);
    }
    if (part == "." || part == "..") {
      if (part == "..") {
        auto up = enter(open_at(current.fd.get(), "..", O_PATH | O_DIRECTORY));
        if (!up) return up;
        current = std::move(*up);
      }
      if (last) return finish_directory(std::move(current), want, on_directory);
      continue;
    }
    // A trailing slash asks for a directory, whatever the last component is wanted as.
    const bool as_directory = !last || (want == Want::kFile && path.ends_with('/'));
    auto next = step(current, part, as_directory ? Want::kSearchable : want, on_directory);
    if (!next) return next;
    if (last && as_directory) return finish_directory(std::move(*next), want, on_directory);
    if (last) return next;
    current = std::move(*next);
  }
  return finish_directory(std::move(current), want, on_directory);
}

Result<Opened> Resolver::step(const Opened& dir, const std::string& name, Want want,
                              OnDirectory on_directory) {
  auto entry = open_at(dir.fd.get(), name.c_str(), O_PATH | O_NOFOLLOW);
  if (!entry) return entry;
  test_seam("resolve:", name);
  const bool several_links = !S_ISDIR(entry->st.st_mode) && entry->st.st_nlink > 1;
  if (several_links || judge_writers_) {
    const access::Writers writers = access::writers_of(dir.fd.get(), dir.st);
    // Whoever may replace this entry could have put anything here; a sticky directory keeps
    // all but its owner from replacing the run's own.
    if (judge_writers_) {
      // A file or link may have been moved in under a free name by anyone who may write a
      // sticky directory; a directory moves only by whoever may write it.
      const bool protected_entry = (dir.st.st_mode & S_ISVTX) != 0 && S_ISDIR(entry->st.st_mode) &&
                                   is_trusted(entry->st.st_uid);
      writers_beyond_run_ |= protected_entry
                                 ? !is_trusted(writers.owner)
                                 : untrusted_writer(writers, Trust::kTheRun).has_value();
    }
    choosers_.add(
        choosers_of(entry->st, dir.st, several_links && writers.anyone_but(entry->st.st_uid)));
  } else {
    choosers_.add(choosers_of(entry->st, dir.st, false));
  }
  if (auto served = refuse_served(*entry); !served) return std::unexpected(served.error());
  if (S_ISLNK(entry->st.st_mode)) return follow(dir, *entry, want, on_directory);
  return open_found(dir, name, std::move(*entry), want, on_directory);
}

Result<Opened> Resolver::follow(const Opened& dir, const Opened& link, Want want,
                                OnDirectory on_directory) {
  if (++links_ > kMaxLinks) return os_error(ELOOP);
  const auto target = read_link(link.fd.get());
  if (!target) return std::unexpected(target.error());
  const std::string_view text(*target);
  auto from = text.starts_with('/') ? start(text) : duplicate(dir);
  if (!from) return from;
  return walk(std::move(*from), text, want, on_directory);
}

Result<Opened> Resolver::open_found(const Opened& dir, const std::string& name, Opened entry,
                                    Want want, OnDirectory on_directory) {
  if (want == Want::kFile) {
    if (auto type = check_type(entry.st, on_directory); !type) return std::unexpected(type.error());
    return open_file(dir, name, entry);
  }
  if (!S_ISDIR(entry.st.st_mode)) return os_error(ENOTDIR);
  auto searchable = enter(std::move(entry));
  if (!searchable || want == Want::kSearchable) return searchable;
  return open_at(searchable->fd.get(), ".", O_RDONLY | O_DIRECTORY);
}

Result<Opened> Resolver::open_file(const Opened& dir, const std::string& name,
                                   const Opened& entry) {
  // Non-blocking and without following: a FIFO or a link swapped in since the look-up neither
  // holds the run up nor leads anywhere.
  auto file = open_at(dir.fd.get(), name.c_str(), kReadFlags);
  // Who found the file in opening it (open_at asks each chooser where the run may switch).
  const bool switched = held_ && held_->switched();
  const Parties found_it = switched ? choosers_ : Parties();
  const bool no_switch = !switched && !choosers_.empty();
  // The run's own rights again before anything else, the checks below included.
  held_.reset();
  held_for_.reset();
  if (!file) return file;
  if (!S_ISREG(file->st.st_mode) || !same_inode(file->st, entry.st)) return refuse(kNotRegularFile);
  // A hard link made since the look-up is judged too.
  if (file->st.st_nlink > 1 &&
      access::writers_of(dir.fd.get(), dir.st).anyone_but(file->st.st_uid)) {
    choosers_.add(Party::everyone());
  }
  if (auto refused = access::refuse_pseudo_file(file->fd.get()); !refused) {
    return std::unexpected(refused.error());
  }
  if (auto agreed = check_choosers(dir, name, *file, found_it, no_switch); !agreed) {
    return std::unexpected(agreed.error());
  }
  return file;
}

// Every chooser must be able to read the file opened: those there when it was opened have
// found it already (open_at), those a hard link added open it again. Where the run may not
// switch, an account takes only its own files and everyone what others may read. No file is
// read through holding an unheld id.
Result<> Resolver::check_choosers(const Opened& dir, const std::string& name, const Opened& file,
                                  const Parties& found_it, bool no_switch) {
  for (const Party& party : choosers_) {
    bool may = !owed_to_unheld_id(party, file.st, S_IROTH);
    if (may && !found_it.contains(party)) {
      may = !no_switch ? finds_same(party, dir.fd.get(), name.c_str(), kReadFlags, file.st)
            : party.kind == Party::Kind::kAccount ? file.st.st_uid == party.id
                                                  : (file.st.st_mode & S_IROTH) != 0;
    }
    if (!may) return refuse(refused_as(party));
  }
  return {};
}

Result<Opened> Resolver::finish_directory(Opened dir, Want want, OnDirectory on_directory) {
  switch (want) {
    case Want::kSearchable:
      return dir;
    case Want::kListable:
      return open_at(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY);
    case Want::kFile:
      break;
  }
  if (auto type = check_type(dir.st, on_directory); !type) return std::unexpected(type.error());
  return os_error(EISDIR);
}

}  // namespace common::access
