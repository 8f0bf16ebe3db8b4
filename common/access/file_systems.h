// What kind of file system a file the run reads lies on, where that decides whether it is read:
// - kernel pseudo file systems (procfs, sysfs, ...), whose regular files are interfaces to the
//   kernel or a device, where a read can act or consume: never collected;
// - FUSE, whose server may be another account's process that never answers, or that reports
//   whatever owners and modes it likes: never entered where another account serves it, nor
//   where another account chose the way (walk.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>

#include "common/error.h"

namespace common::access {

// Fails with "the source path is on a kernel pseudo file system (NAME)" for the file open as
// `fd` on one of them.
Result<> refuse_pseudo_file(int fd);

// What serves device `dev` (st_dev of what `fd` holds), where it is a FUSE file system: the
// uid its mount names as its owner (user_id=), unknown where the mount table does not say. The
// mount table is read without asking the file system anything; where it lists no such device
// (a btrfs subvolume), statfs on `fd` says whether it is FUSE at all.
struct FuseServer {
  bool fuse = false;
  std::optional<uid_t> uid;
  // The mount table could not be read (no /proc): whether it is FUSE is not known, and statfs,
  // which would ask a FUSE server, is left to the caller (statfs_says_fuse).
  bool unknown = false;
  // Served by another account, or by no one known: neither root nor the running user.
  bool another_account() const;
};
FuseServer fuse_server(dev_t dev, int fd);

// Whether statfs says `fd` is on FUSE: where the mount table cannot say, for a way only root and
// the run chose. A FUSE server may never answer it.
bool statfs_says_fuse(int fd);

// fstat from the attributes the kernel holds: a file system that serves them (FUSE, a network
// one) is not asked, so a server that never answers cannot hold the run up here.
bool stat_held(int fd, struct stat& st);

}  // namespace common::access
