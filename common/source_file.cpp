#include "common/source_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/test_seam.h"

namespace common {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
// Components in all, links' targets included: a chain of long targets such as "d/../d/../..."
// must cost little before it fails.
constexpr int kMaxComponents = 1024;

constexpr int kReadFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

struct PseudoFileSystem {
  std::uint32_t magic;
  const char* name;
};

// Their magic numbers as the kernel's statfs reports them: every file system whose regular
// files are interfaces to the kernel or a device, where a read can act or consume.
constexpr PseudoFileSystem kPseudoFileSystems[] = {
    {0x9fa0, "procfs"},        {0x62656572, "sysfs"},      {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},   {0x73636673, "securityfs"}, {0x62656570, "configfs"},
    {0x27e0eb, "cgroup"},      {0x63677270, "cgroup2"},    {0xcafe4a11, "bpf"},
    {0xde5e81e4, "efivarfs"},  {0x6165676c, "pstore"},     {0xf97cff8c, "selinuxfs"},
    {0x43415d53, "smackfs"},   {0x5a3c69f0, "apparmorfs"}, {0x42494e4d, "binfmt_misc"},
    {0x6e736673, "nsfs"},      {0x67596969, "rpc_pipefs"}, {0x6e667364, "nfsd"},
    {0x65735543, "fusectl"},   {0x19800202, "mqueue"},     {0xabba1974, "xenfs"},
    {0x9fa1, "openpromfs"},    {0x9fa2, "usbdevfs"},       {0x6f70726f, "oprofilefs"},
    {0xa647361, "functionfs"}, {0xaee71ee7, "gadgetfs"},
};

Result<> refuse_pseudo_file(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return os_error(errno);
  for (const auto& pseudo : kPseudoFileSystems) {
    if (static_cast<std::uint32_t>(fs.f_type) == pseudo.magic) {
      return fail(std::string("the source path is on a kernel pseudo file system (") + pseudo.name +
                  ")");
    }
  }
  return {};
}

// The type a file looked up with links followed must have to be opened.
Result<> check_type(const struct stat& st, OnDirectory on_directory) {
  if (S_ISREG(st.st_mode)) return {};
  // What opening them would have said, without opening them.
  if (S_ISSOCK(st.st_mode)) return os_error(ENXIO);
  if (S_ISDIR(st.st_mode) && on_directory == OnDirectory::kIsADirectory) return os_error(EISDIR);
  if (S_ISDIR(st.st_mode) && on_directory == OnDirectory::kSkip) {
    return fail("a directory", ErrorKind::kDirectory);
  }
  return fail(kNotRegularFile);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Kernels before 3.6 cannot fstat an O_PATH descriptor; the empty-path look-up can.
bool stat_of(int fd, struct stat& st) {
  return ::fstat(fd, &st) == 0 || ::fstatat(fd, "", &st, AT_EMPTY_PATH) == 0;
}

Result<Opened> duplicate(const Opened& opened) {
  Opened copy{UniqueFd(::fcntl(opened.fd.get(), F_DUPFD_CLOEXEC, 0)), opened.st};
  if (!copy.fd.valid()) return os_error(errno);
  return copy;
}

// Whether `party`, opening entry `name` of `dir` with `flags` as itself, finds `found`.
bool finds_same(Party party, const Accounts& accounts, int dir, const char* name, int flags,
                const struct stat& found) {
  const ScopedCredentials as(party.credentials(accounts));
  if (!as.switched() || !as.dropped()) return false;
  const UniqueFd again(::openat(dir, name, flags | O_CLOEXEC));
  struct stat st;
  return again.valid() && stat_of(again.get(), st) && same_file(st, found);
}

}  // namespace

std::string chosen_by_text(Party party) {
  switch (party.kind) {
    case Party::Kind::kAccount:
      break;
    case Party::Kind::kGroup:
      return "the source path was chosen by the writers in group " + std::to_string(party.id) +
             ", who may not read it";
    case Party::Kind::kEveryone:
      return "the source path was chosen in a directory anyone may write, and not everyone may "
             "read it";
  }
  return "the source path was chosen by another account (uid " + std::to_string(party.id) +
         "), which may not read it";
}

Resolver Resolver::branch() const {
  return Resolver(choosers_, writers_, accounts_, budget_, links_, components_);
}

Parties Resolver::may_change() const {
  Parties all = choosers_;
  all.add(writers_);
  return all;
}

const Accounts& Resolver::accounts() {
  if (accounts_ == nullptr) accounts_ = &Accounts::host();
  return *accounts_;
}

void Resolver::take_credentials() {
  const std::optional<Party> wanted =
      choosers_.empty() ? std::nullopt : std::optional(choosers_.front());
  if (held_for_ == wanted && (held_ || !wanted)) return;
  held_.reset();
  held_for_ = wanted;
  if (wanted) held_.emplace(wanted->credentials(accounts()));
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
      return fail(kNotRegularFile);
    }
    if (error == EACCES && held_ && held_->switched()) {
      if (choosers_.size() > 1) return fail(kChosenByMany);
      return fail(chosen_by_text(*held_for_));
    }
    return os_error(error);
  }
  if (!stat_of(opened.fd.get(), opened.st)) return os_error(errno);
  // Every other chooser must find the same thing there: each directory on the way, not only
  // the file at its end, must be open to all of them.
  if (choosers_.size() > 1 && held_ && held_->switched()) {
    for (const Party& party : choosers_) {
      if (party != *held_for_ && !finds_same(party, accounts(), dir, name, flags, opened.st)) {
        return fail(kChosenByMany);
      }
    }
  }
  return opened;
}

// A directory the way passes into: beyond it, everything is its owner's choice.
Result<Opened> Resolver::enter(Result<Opened> dir) {
  if (dir) choosers_.add(owner_of(dir->st));
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
  // Whoever may replace this entry could have put anything here.
  writers_.add(writers_of(dir.st, is_trusted(entry->st.st_uid), accounts()));
  choosers_.add(choosers_of(entry->st, dir.st, accounts()));
  if (S_ISLNK(entry->st.st_mode)) return follow(dir, *entry, want, on_directory);
  return open_found(dir, name, std::move(*entry), want, on_directory);
}

Result<Opened> Resolver::follow(const Opened& dir, const Opened& link, Want want,
                                OnDirectory on_directory) {
  if (++links_ > kMaxLinks) return os_error(ELOOP);
  char target[PATH_MAX];
  const ssize_t size = ::readlinkat(link.fd.get(), "", target, sizeof target);
  if (size < 0) return os_error(errno);
  if (static_cast<std::size_t>(size) == sizeof target) return os_error(ENAMETOOLONG);
  const std::string_view text(target, static_cast<std::size_t>(size));
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
  if (!S_ISREG(file->st.st_mode) || !same_file(file->st, entry.st)) return fail(kNotRegularFile);
  // A hard link made since the look-up is judged too.
  if (file->st.st_nlink > 1) choosers_.add(writers_of(dir.st, false, accounts()));
  if (auto refused = refuse_pseudo_file(file->fd.get()); !refused) {
    return std::unexpected(refused.error());
  }
  if (auto agreed = check_choosers(dir, name, *file, found_it, no_switch); !agreed) {
    return std::unexpected(agreed.error());
  }
  writers_.add(writers_of(file->st, false, accounts()));
  return file;
}

// Every chooser must be able to read the file opened: those there when it was opened have
// found it already (open_at), those a hard link added open it again. Where the run may not
// switch, a chooser takes only its own files. A file that 65534 owns is not read through being
// the stand-in.
Result<> Resolver::check_choosers(const Opened& dir, const std::string& name, const Opened& file,
                                  const Parties& found_it, bool no_switch) {
  const bool nobody_chose = choosers_.contains(Party::account(kNobody));
  for (const Party& party : choosers_) {
    bool may = nobody_chose || !owed_to_stand_in(party, file.st, S_IROTH);
    if (may && !found_it.contains(party)) {
      may = no_switch
                ? party.kind == Party::Kind::kAccount && file.st.st_uid == party.id
                : finds_same(party, accounts(), dir.fd.get(), name.c_str(), kReadFlags, file.st);
    }
    if (may) continue;
    if (choosers_.size() > 1) return fail(kChosenByMany);
    return fail(chosen_by_text(party));
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

}  // namespace common
