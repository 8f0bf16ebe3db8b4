#include "common/access/walk.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

#include "common/access/file_systems.h"
#include "common/path.h"
#include "common/test_seam.h"

namespace common::access {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
// Components in all, links' targets included: a chain of long targets such as "d/../d/../..."
// must cost little before it fails.
constexpr int kMaxComponents = 1024;

constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK;

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

// Whether `party`, opening `name` relative to `dir` with `flags` as itself, finds `found`.
bool finds_same(Party party, int dir, const char* name, int flags, const struct stat& found) {
  const ScopedCredentials as(party.credentials());
  if (!as.switched() || !as.dropped()) return false;
  const UniqueFd again(::openat(dir, name, flags | O_CLOEXEC));
  struct stat st;
  return again.valid() && stat_held(again.get(), st) && same_inode(st, found);
}

}  // namespace

std::string chosen_by_text(Party party) {
  if (party.kind == Party::Kind::kEveryone) {
    return "the source path may have been chosen by anyone, and not everyone may read it";
  }
  return "the source path was chosen by another account (uid " + std::to_string(party.id) +
         "), which may not read it";
}

Walk Walk::branch() const {
  Walk other(choosers_);
  other.changers_ = changers_;
  other.way_ = way_;
  other.current_ = UniqueFd(::fcntl(current_.get(), F_DUPFD_CLOEXEC, 3));
  other.budget_ = budget_;
  other.links_ = links_;
  other.components_ = components_;
  return other;
}

std::string Walk::refused_as(Party party) const {
  if (party.kind != Party::Kind::kEveryone && choosers_.size() > 1) return kChosenByMany;
  return chosen_by_text(party);
}

// Nothing is looked up on a FUSE file system another account serves (or no one known): it may
// never answer. A way another account chose enters no FUSE file system at all, and, without a
// mount table to tell, nothing statfs would ask of one.
Result<> Walk::refuse_served(const Opened& opened) {
  FuseServer server = fuse_server(opened.st.st_dev, opened.fd.get());
  if (server.unknown && choosers_.empty()) server.fuse = statfs_says_fuse(opened.fd.get());
  if (server.another_account() && trusted_) {
    changer_ = server.uid ? Changer{Changer::Kind::kAccount, *server.uid}
                          : Changer{Changer::Kind::kEveryone, 0};
    return {};
  }
  if (server.another_account() || ((server.fuse || server.unknown) && !choosers_.empty())) {
    return refuse(kServedByAnotherAccount);
  }
  return {};
}

void Walk::take_credentials() {
  // Everyone first where it chose: it may read least, and its refusal names no one.
  const std::optional<Party> wanted = choosers_.empty() ? std::nullopt
                                      : choosers_.contains(Party::everyone())
                                          ? std::optional(Party::everyone())
                                          : std::optional(choosers_.front());
  if (held_for_ == wanted && (held_ || !wanted)) return;
  held_.reset();
  held_for_ = wanted;
  if (wanted) held_ = std::make_unique<ScopedCredentials>(wanted->credentials());
}

void Walk::release() {
  held_.reset();
  held_for_.reset();
}

// Opens `name` relative to `dir` with the choosers' rights, each of whom must find the same
// there, and reads what it is.
Result<Opened> Walk::look_up(int dir, const char* name, int flags) {
  take_credentials();
  // The capabilities that would pass the kernel's checks must still be gone, every step.
  if (held_ && held_->switched() && !held_->dropped()) return os_error(EPERM);
  Opened opened{UniqueFd(::openat(dir, name, flags | O_CLOEXEC)), {}};
  if (!opened.fd.valid()) {
    const int error = errno;
    if (error == EACCES && held_ && held_->switched()) return refuse(refused_as(*held_for_));
    return os_error(error);
  }
  if (!stat_held(opened.fd.get(), opened.st)) return os_error(errno);
  if (choosers_.size() > 1 && held_ && held_->switched()) {
    for (const Party& party : choosers_) {
      if (party != *held_for_ && !finds_same(party, dir, name, flags, opened.st)) {
        return refuse(refused_as(party));
      }
    }
  }
  return opened;
}

void Walk::judge(const Changers& changers) {
  changers_.add(changers);
  if (trusted_ && !changer_) changer_ = untrusted(changers);
  if (!trusted_) choosers_.add(access::choosers(changers));
}

// A directory the way passes into: its owner may change everything beyond it.
Result<> Walk::enter(Opened dir, const Writers& writers, std::string name) {
  Changers owner;
  owner.add_owner(dir.st.st_uid);
  judge(owner);
  // No chooser passes a directory through holding an unheld id.
  for (const Party& party : choosers_) {
    if (owed_to_unheld_id(party, dir.st, S_IXOTH)) return refuse(refused_as(party));
  }
  way_.push_back({dir.st, writers, std::move(name)});
  current_ = std::move(dir.fd);
  return {};
}

// Opens "/" and enters it: where every walk, and every absolute link's target, starts.
Result<> Walk::root() {
  way_.clear();
  auto root = look_up(AT_FDCWD, "/", O_PATH | O_DIRECTORY);
  if (!root) return std::unexpected(root.error());
  if (auto served = refuse_served(*root); !served || stopped()) return served;
  const Writers writers = writers_of(root->fd.get(), root->st);
  return enter(std::move(*root), writers, "");
}

// Where a walk over `path` starts: "/", or, for a relative path, the working directory, whose
// own absolute way is walked and judged first.
Result<> Walk::start(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail("file name contained an unexpected NUL byte");
  }
  if (path.empty()) return os_error(ENOENT);
  if (path.starts_with('/')) return {};
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return os_error(errno);
  return walk(cwd, Want::kSearchable);
}

Result<> Walk::walk(std::string_view path, Want want) {
  if (path.starts_with('/')) {
    if (auto rooted = root(); !rooted) return rooted;
  }
  std::size_t begin = 0;
  while (begin < path.size() && !stopped()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string part(path.substr(begin, end - begin));
    begin = std::min(path.find_first_not_of('/', end), path.size());
    if (part.empty()) continue;
    if (++components_ > kMaxComponents) return os_error(ELOOP);
    if (budget_ != nullptr && budget_->components-- == 0) {
      budget_->components = 0;
      return os_error(ELOOP);
    }
    if (part == ".") continue;
    // Only the last component is wanted as `want`; a trailing slash asks for a directory.
    const auto walked =
        part == ".." ? up() : step(part, end == path.size() ? want : Want::kSearchable);
    if (!walked) return walked;
  }
  return {};
}

// ".." goes back to the directory held before, as long as the kernel's ".." is still that one.
Result<> Walk::up() {
  if (way_.size() == 1) return {};
  auto parent = look_up(current_.get(), "..", O_PATH | O_DIRECTORY);
  if (!parent) return std::unexpected(parent.error());
  if (!same_inode(parent->st, way_[way_.size() - 2].st)) return os_error(ENOENT);
  way_.pop_back();
  current_ = std::move(parent->fd);
  return {};
}

Result<> Walk::step(const std::string& name, Want want) {
  auto entry = look_up(current_.get(), name.c_str(), O_PATH | O_NOFOLLOW);
  if (!entry) return std::unexpected(entry.error());
  test_seam("resolve:", name);
  // Who serves it first: nothing (its ACL, say) is asked of a server that may never answer.
  if (auto served = refuse_served(*entry); !served || stopped()) return served;
  const Judged& dir = way_.back();
  const Writers writers = writers_of(entry->fd.get(), entry->st);
  judge(placed_by(dir.st, dir.writers, entry->st, writers));
  if (stopped()) return {};
  // Again with the choosers it added: a way another account chose enters no FUSE.
  if (auto served = refuse_served(*entry); !served) return served;
  if (S_ISLNK(entry->st.st_mode)) {
    if (++links_ > kMaxLinks) return os_error(ELOOP);
    const auto target = read_link(entry->fd.get());
    if (!target) return std::unexpected(target.error());
    return walk(*target, want);
  }
  if (want == Want::kFile) {
    found_ = Found{std::move(*entry), writers, name};
    return {};
  }
  if (!S_ISDIR(entry->st.st_mode)) return os_error(ENOTDIR);
  return enter(std::move(*entry), writers, name);
}

Result<Opened> Walk::directory(std::string_view path, bool listable) {
  const Release release{*this};
  if (auto walked = walk_from_start(path, Want::kSearchable); !walked) {
    return std::unexpected(walked.error());
  }
  // An O_PATH descriptor asks for no permission: the choosers must be able to search it, as a
  // look-up in it would need. With none, the run's own look-ups there ask for itself; the walk
  // then gives up the directory it stands in.
  if (!listable && choosers_.empty()) return Opened{std::move(current_), way_.back().st};
  return look_up(current_.get(), ".", listable ? O_RDONLY | O_DIRECTORY : O_PATH | O_DIRECTORY);
}

Result<Opened> Walk::file(std::string_view path, OnDirectory on_directory) {
  const Release release{*this};
  found_.reset();
  if (auto walked = walk_from_start(path, Want::kFile); !walked) {
    return std::unexpected(walked.error());
  }
  return open_found(on_directory);
}

Result<Opened> Walk::file_at(std::string_view name, OnDirectory on_directory) {
  const Release release{*this};
  found_.reset();
  if (auto walked = walk(name, Want::kFile); !walked) return std::unexpected(walked.error());
  return open_found(on_directory);
}

Result<> Walk::walk_from_start(std::string_view path, Want want) {
  if (auto started = start(path); !started) return started;
  return walk(path, want);
}

// The file a walk for a file found: opened from its held descriptor, with every chooser's
// rights; or, where the walk ended on a directory, what that directory fails with.
Result<Opened> Walk::open_found(OnDirectory on_directory) {
  const struct stat& st = found_ ? found_->entry.st : way_.back().st;
  if (auto type = check_type(st, on_directory); !type) return std::unexpected(type.error());
  if (!found_) return os_error(EISDIR);
  // Before it is opened: opening some of them acts. Kernels before 3.12 cannot statfs an
  // O_PATH descriptor; the file opened is judged again below.
  if (auto refused = refuse_pseudo_file(found_->entry.fd.get());
      !refused && refused.error().errnum() != EBADF) {
    return std::unexpected(refused.error());
  }
  const std::string link = "/proc/self/fd/" + std::to_string(found_->entry.fd.get());
  auto file = look_up(AT_FDCWD, link.c_str(), kReadFlags);
  bool by_name = false;
  // Without /proc, the way is root's and the run's alone (no mount table lets another account
  // choose it): the name again, as long as it is still the file judged.
  if (!file && file.error().errnum() == ENOENT && choosers_.empty()) {
    file = look_up(current_.get(), found_->name.c_str(), kReadFlags | O_NOFOLLOW);
    by_name = true;
  }
  // Who found the file in opening it (look_up asks each chooser where the run may switch).
  const bool switched = held_ && held_->switched();
  const Parties found_it = switched ? choosers_ : Parties();
  const bool no_switch = !switched && !choosers_.empty();
  // The run's own rights again before anything else, the checks below included.
  release();
  // O_NOFOLLOW refuses a link swapped in since the look-up: no longer what was looked up.
  if (!file && file.error().errnum() == ELOOP && by_name) return refuse(kNotRegularFile);
  if (!file) return file;
  if (!S_ISREG(file->st.st_mode) || !same_inode(file->st, found_->entry.st)) {
    return refuse(kNotRegularFile);
  }
  // A hard link made since the look-up is judged too.
  Changers linked;
  linked.everyone = everyones_hard_link(file->st, way_.back().writers);
  judge(linked);
  if (auto refused = refuse_pseudo_file(file->fd.get()); !refused) {
    return std::unexpected(refused.error());
  }
  if (auto agreed =
          check_choosers(by_name ? current_.get() : AT_FDCWD,
                         by_name ? found_->name.c_str() : link.c_str(), *file, found_it, no_switch);
      !agreed) {
    return std::unexpected(agreed.error());
  }
  return file;
}

// Every chooser must be able to read the file opened: those there when it was opened have found
// it already (look_up), those a hard link added open it again. Where the run may not switch, an
// account takes only its own files and everyone what others may read. No file is read through
// holding an unheld id.
Result<> Walk::check_choosers(int dir, const char* name, const Opened& file,
                              const Parties& found_it, bool no_switch) {
  for (const Party& party : choosers_) {
    bool may = !owed_to_unheld_id(party, file.st, S_IROTH);
    if (may && !found_it.contains(party)) {
      may = !no_switch ? finds_same(party, dir, name, kReadFlags, file.st)
            : party.kind == Party::Kind::kAccount ? file.st.st_uid == party.id
                                                  : (file.st.st_mode & S_IROTH) != 0;
    }
    if (!may) return refuse(refused_as(party));
  }
  return {};
}

Result<End> Walk::end(std::string_view path, bool follow_last) {
  trusted_ = true;
  found_.reset();
  if (!path.starts_with('/')) return os_error(EINVAL);
  End end;
  end.name = base_name(path);
  end.as_directory = path.ends_with('/');
  if (auto walked = walk(parent_dir(path), Want::kSearchable); !walked) {
    return std::unexpected(walked.error());
  }
  if (follow_last && !stopped()) {
    const std::string last = end.as_directory ? end.name + "/" : end.name;
    if (auto walked = walk(last, Want::kFile); !walked) return std::unexpected(walked.error());
    // A link's target that ends in "/" or "..": the directory the walk stands in.
    if (!found_) found_ = Found{{UniqueFd(), way_.back().st}, way_.back().writers, "."};
    end.name = found_->name;
    end.entry_writers = found_->writers;
    end.entry = std::move(found_->entry);
  }
  end.changer = changer_;
  for (std::size_t i = 1; i < way_.size(); ++i) end.dir_path.append("/").append(way_[i].name);
  if (end.dir_path.empty()) end.dir_path.push_back('/');
  end.dir = Opened{std::move(current_), way_.back().st};
  end.dir_writers = way_.back().writers;
  return end;
}

}  // namespace common::access
