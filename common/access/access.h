// Whose rights the run uses: the one place that decides it. The run is root, but what it reads
// is often chosen, and where it writes often shared, by other accounts. What this folder
// guarantees to the rest of the run:
//
// - One walk (walk.h) for every way the run reads, writes at or runs from: one path component
//   at a time from held descriptors, what is judged being what is used. One rule book
//   (rules.h) says at every step who may have changed what the walk met: a directory's writers
//   (writers.h), its sticky bit, links, hard links, a configuration's writers.
// - Reads: whatever another account chose is opened with the credentials the kernel is sure
//   that chooser has (parties.h, scoped_credentials.h): its uid alone, no group, no capability
//   that passes permission checks; what everyone may have chosen, with ids no account holds.
//   Only a regular file is opened, never on a kernel pseudo file system. The account database
//   is never read. A way another account chose never enters a FUSE file system
//   (file_systems.h).
// - Writes and runs: every changer must be the run itself. A directory anyone else may change,
//   or whose way another account chose, is shared, and nothing in it is written through an
//   existing entry; a temporary directory another account chose must be one it may write
//   itself (shared_directory.h).
// - Space (disk_margin.h): nothing the run writes takes the space or inodes kept for root.
//
// A refusal on these grounds is an error of kind ErrorKind::kRefused, in the run's own words.
#pragma once

#include "common/access/disk_margin.h"
#include "common/access/parties.h"
#include "common/access/rules.h"
#include "common/access/shared_directory.h"
#include "common/access/walk.h"
