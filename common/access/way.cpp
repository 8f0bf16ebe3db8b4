#include "common/access/way.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "common/access/file_systems.h"
#include "common/path.h"

namespace common::access {

namespace {

// As the kernel's own resolution allows; and components in all, links' targets included, as
// the resolver's (resolver.h).
constexpr int kMaxLinks = 40;
constexpr int kMaxComponents = 1024;

// An entry held for judging: its descriptor (O_PATH), its fstat, and its name in the directory
// before it on the way (empty for "/").
struct Held {
  UniqueFd fd;
  struct stat st;
  std::string name;
};

Result<Held> hold(int dir, const std::string& name) {
  UniqueFd fd(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || !stat_held(fd.get(), st)) return os_error(errno);
  return Held{std::move(fd), st, name};
}

// Whoever serves the FUSE file system `held` lies on, where that is another account (or no
// one known): it may report any owner and mode, and change what it serves at will.
std::optional<Changer> server_of(const Held& held) {
  FuseServer server = fuse_server(held.st.st_dev, held.fd.get());
  if (server.unknown) server.fuse = statfs_says_fuse(held.fd.get());
  if (!server.another_account()) return std::nullopt;
  if (server.uid) return Changer{Changer::Kind::kAccount, *server.uid};
  return Changer{Changer::Kind::kEveryone, 0};
}

// One walk: the directories held from "/" to where it stands, and the first who may change
// what it passed.
class Walk {
 public:
  explicit Walk(Trust trust) : trust_(trust) {}

  Result<> start() {
    auto root = hold(AT_FDCWD, "/");
    if (!root) return std::unexpected(root.error());
    root->name.clear();
    served(*root);
    stack_.push_back(std::move(*root));
    return {};
  }

  // Walks every component of `path` as a directory, links followed.
  Result<> directories(std::string rest) {
    if (rest.starts_with('/')) stack_.resize(1);
    while (!rest.empty() && !stopped_) {
      const std::size_t slash = rest.find('/');
      const std::string name = rest.substr(0, slash);
      rest.erase(0, slash == std::string::npos ? rest.size() : slash + 1);
      if (name.empty() || name == ".") continue;
      if (++components_ > kMaxComponents) return os_error(ELOOP);
      if (name == "..") {
        if (stack_.size() > 1) stack_.pop_back();
        continue;
      }
      auto entry = hold(top().fd.get(), name);
      if (!entry) return std::unexpected(entry.error());
      // Nothing is looked up in a file system another account serves: it may never answer.
      if (served(*entry)) return {};
      if (S_ISLNK(entry->st.st_mode)) {
        auto target = follow(*entry);
        if (!target) return std::unexpected(target.error());
        rest = *target + "/" + rest;
        continue;
      }
      if (!S_ISDIR(entry->st.st_mode)) return os_error(ENOTDIR);
      judge(entry->st);
      stack_.push_back(std::move(*entry));
    }
    return {};
  }

  // The target of the link `link`, an entry of the top directory, once the link is judged; an
  // absolute one starts again from "/".
  Result<std::string> follow(const Held& link) {
    judge(link.st);
    if (++links_ > kMaxLinks) return os_error(ELOOP);
    auto target = read_link(link.fd.get());
    if (target && target->starts_with('/')) stack_.resize(1);
    return target;
  }

  const Held& top() const { return stack_.back(); }

  // Whether another account serves what `held` lies on; it is then the way's changer and the
  // walk goes no further.
  bool served(const Held& held) {
    const auto server = server_of(held);
    if (server) changer_ = server;
    stopped_ = stopped_ || server.has_value();
    return stopped_;
  }
  bool stopped() const { return stopped_; }

  Way finish(std::string name) {
    std::string path;
    for (std::size_t i = 1; i < stack_.size(); ++i) path += "/" + stack_[i].name;
    Held& dir = stack_.back();
    return Way{
        std::move(dir.fd), dir.st, path.empty() ? "/" : path, std::move(name), changer_, {}, {}};
  }

 private:
  // Notes who besides the trusted may replace `entry` in the top directory; the walk goes no
  // further than the first: what lies beyond is that one's choice.
  void judge(const struct stat& entry) {
    if (changer_) return;
    const Held& dir = top();
    changer_ = may_replace(dir.st, writers_of(dir.fd.get(), dir.st), entry, trust_);
    stopped_ = stopped_ || changer_.has_value();
  }

  Trust trust_;
  std::vector<Held> stack_;
  std::optional<Changer> changer_;
  bool stopped_ = false;
  int links_ = 0;
  int components_ = 0;
};

}  // namespace

bool trusts(Trust trust, uid_t uid) {
  return uid == 0 || (trust == Trust::kTheRun && uid == ::geteuid());
}

std::optional<Changer> untrusted_writer(const Writers& writers, Trust trust) {
  if (!trusts(trust, writers.owner)) return Changer{Changer::Kind::kAccount, writers.owner};
  for (const uid_t user : writers.users) {
    if (!trusts(trust, user)) return Changer{Changer::Kind::kAccount, user};
  }
  if (writers.group) return Changer{Changer::Kind::kGroup, *writers.group};
  if (!writers.groups.empty()) return Changer{Changer::Kind::kGroup, writers.groups.front()};
  if (writers.everyone) return Changer{Changer::Kind::kEveryone, 0};
  return std::nullopt;
}

std::optional<Changer> may_replace(const struct stat& dir, const Writers& dir_writers,
                                   const struct stat& entry, Trust trust) {
  const std::optional<Changer> owner =
      trusts(trust, entry.st_uid)
          ? std::nullopt
          : std::optional<Changer>(Changer{Changer::Kind::kAccount, entry.st_uid});
  // A sticky directory lets only an entry's owner and its own owner rename or remove it, but
  // anyone who may write it may still move a file or link in under a free name; a directory
  // changes parents only by whoever may write the directory itself.
  if ((dir.st_mode & S_ISVTX) != 0 && trusts(trust, dir.st_uid) && S_ISDIR(entry.st_mode)) {
    return owner;
  }
  if (S_ISLNK(entry.st_mode) && owner) return owner;
  return untrusted_writer(dir_writers, trust);
}

Result<Way> walk_way(std::string_view path, Trust trust, bool follow_last) {
  if (!path.starts_with('/')) return os_error(EINVAL);
  Walk walk(trust);
  if (auto started = walk.start(); !started) return std::unexpected(started.error());
  std::string directory(parent_dir(path));
  std::string name(base_name(path));
  for (;;) {
    if (auto walked = walk.directories(directory); !walked) return std::unexpected(walked.error());
    if (!follow_last || walk.stopped()) return walk.finish(std::move(name));
    auto entry = hold(walk.top().fd.get(), name);
    if (!entry) return std::unexpected(entry.error());
    if (walk.served(*entry)) return walk.finish(std::move(name));
    if (!S_ISLNK(entry->st.st_mode)) {
      Way way = walk.finish(std::move(name));
      way.entry = std::move(entry->fd);
      way.entry_st = entry->st;
      return way;
    }
    auto target = walk.follow(*entry);
    if (!target) return std::unexpected(target.error());
    directory = parent_dir(*target);
    name = base_name(*target);
  }
}

}  // namespace common::access
