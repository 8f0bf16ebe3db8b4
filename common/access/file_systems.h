// What kind of file system a file the run reads lies on, where that decides whether it is read:
// - kernel pseudo file systems (procfs, sysfs, ...), whose regular files are interfaces to the
//   kernel or a device, where a read can act or consume: never collected;
// - FUSE, whose server may be another account's process that never answers: refused where
//   another account chose the way (source_file.h).
#pragma once

#include <sys/types.h>

#include "common/error.h"

namespace common::access {

// Fails with "the source path is on a kernel pseudo file system (NAME)" for the file open as
// `fd` on one of them.
Result<> refuse_pseudo_file(int fd);

// Whether device `dev` (st_dev of what `fd` holds) is a FUSE file system. The mount table says,
// without asking the file system anything; where it lists no such device (a btrfs subvolume,
// no /proc), statfs on `fd` does.
bool on_fuse(dev_t dev, int fd);

}  // namespace common::access
