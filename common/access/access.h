// Whose rights the run uses: the one place that decides it. The run is root, but what it reads
// is often chosen, and where it writes often shared, by other accounts. What this folder
// guarantees to the rest of the run:
//
// - Reads (resolver.h): a host file is opened only as a regular file, the one looked up, one
//   path component at a time from held descriptors, and never on a kernel pseudo file system.
//   Whatever another account chose (parties.h: its links, what lies beyond its directories,
//   what its configuration names) is opened with the credentials the kernel is sure that
//   chooser has: its uid alone, no group, no capability that passes permission checks
//   (scoped_credentials.h); what everyone may have chosen, with ids no account holds. The
//   account database is never read. Write access an owner gives a group or an ACL entry is the
//   owner's grant (writers.h). A way another account chose never enters a FUSE file system
//   (file_systems.h).
// - Writes (shared_directory.h): a directory that anyone but the run may change, or whose way
//   another account chose, is shared, and nothing in it is written through an existing entry;
//   a temporary directory another account chose must be one it may write itself.
// - Space (disk_margin.h): nothing the run writes takes the space or inodes kept for root.
//
// A refusal on these grounds is an error of kind ErrorKind::kRefused, in the run's own words.
#pragma once

#include "common/access/disk_margin.h"
#include "common/access/parties.h"
#include "common/access/resolver.h"
#include "common/access/shared_directory.h"
