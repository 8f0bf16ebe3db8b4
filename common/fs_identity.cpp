#include "common/fs_identity.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace common {

namespace {

bool trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// setfsuid/setfsgid with an invalid id change nothing and yield the current one.
uid_t current_fsuid() { return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))); }
gid_t current_fsgid() { return static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))); }

Steering owner_of(const struct stat& st) {
  if (trusted(st.st_uid)) return std::nullopt;
  return FsIdentity{st.st_uid, st.st_gid, std::nullopt};
}

// Who may write `st` (a directory's entries, or a file's content).
Steering writers(const struct stat& st, bool sticky_protects) {
  Steering who = owner_of(st);
  const bool shielded = sticky_protects && (st.st_mode & S_ISVTX) != 0;
  if (shielded) return who;
  // An owner's identity carries the file's group already.
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0 && !who) {
    who = FsIdentity{kNobody, kNobody, st.st_gid};
  }
  if ((st.st_mode & S_IWOTH) != 0) who = combine(who, FsIdentity{kNobody, kNobody, std::nullopt});
  return who;
}

// The prefixes of `path` that name a component: "/a", "/a/b", ... ("a", "a/b" when relative),
// the root itself first for an absolute path.
std::vector<std::string> prefixes(const std::string& path) {
  std::vector<std::string> result;
  if (path.starts_with('/')) result.emplace_back("/");
  for (std::size_t end = 0; end < path.size(); ++end) {
    if (path[end] != '/' && (end + 1 == path.size() || path[end + 1] == '/')) {
      result.push_back(path.substr(0, end + 1));
    }
  }
  return result;
}

}  // namespace

Steering combine(const Steering& a, const Steering& b) {
  if (!a) return b;
  if (!b || *a == *b) return a;
  return FsIdentity{kNobody, kNobody, std::nullopt};
}

Steering choose_identity(const struct stat& entry, const struct stat& dir,
                         const Steering& steering) {
  Steering own;
  if (S_ISLNK(entry.st_mode)) {
    own = trusted(entry.st_uid) ? writers(dir, true) : owner_of(entry);
  } else if (entry.st_nlink > 1 && !S_ISDIR(entry.st_mode)) {
    own = writers(dir, false);
  }
  return combine(own, steering);
}

Steering path_steering(const std::string& path, bool count_last) {
  Steering steering;
  // The links on the way as written: each one's owner chose where it leads.
  for (const std::string& prefix : prefixes(path)) {
    struct stat st;
    if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      steering = combine(steering, owner_of(st));
    }
  }
  // The resolved way: who may replace a component, or write the file at its end.
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) return steering;
  const std::vector<std::string> way = prefixes(real.get());
  for (std::size_t i = 0; i < way.size(); ++i) {
    const bool last = i + 1 == way.size();
    if (last && !count_last) break;
    struct stat st;
    if (::stat(way[i].c_str(), &st) != 0) break;
    bool child_trusted = false;
    struct stat child;
    if (!last && ::lstat(way[i + 1].c_str(), &child) == 0) child_trusted = trusted(child.st_uid);
    steering = combine(steering, writers(st, child_trusted));
  }
  return steering;
}

ScopedFsIdentity::ScopedFsIdentity(const Steering& identity) {
  if (!identity) return;
  uid_ = current_fsuid();
  gid_ = current_fsgid();
  const int count = ::getgroups(0, nullptr);
  if (count < 0) return;
  groups_.resize(static_cast<std::size_t>(count));
  if (::getgroups(count, groups_.data()) != count) return;
  const gid_t group = identity->group.value_or(0);
  // Without the right to (not root), nothing changes and the caller checks ownership instead.
  if (::setgroups(identity->group ? 1 : 0, &group) != 0) return;
  groups_changed_ = true;
  ::setfsgid(identity->gid);
  ::setfsuid(identity->uid);
  if (current_fsgid() != identity->gid || current_fsuid() != identity->uid) {
    restore();
    return;
  }
  switched_ = true;
}

void ScopedFsIdentity::restore() {
  if (!groups_changed_) return;
  // The user first: going back to root raises the file capabilities again.
  ::setfsuid(uid_);
  ::setfsgid(gid_);
  if (::setgroups(groups_.size(), groups_.data()) != 0 || current_fsuid() != uid_ ||
      current_fsgid() != gid_) {
    std::abort();
  }
  groups_changed_ = false;
  switched_ = false;
}

}  // namespace common
