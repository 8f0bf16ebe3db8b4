// Judgements on the directory the run writes in (TMPDIR), where another account may share it,
// own it or have chosen the way to it: whether it is shared, so that nothing is written there
// through an existing entry, and whether those who chose it may write it themselves.
#pragma once

#include "common/access/walk.h"
#include "common/error.h"

namespace common::access {

// Whether the directory `dir`, reached by `way`, is shared: anyone but the run may have changed
// the way to it (rules.h) or may write the directory itself (sticky or not). Nothing in a
// shared directory is written through an existing entry.
bool is_shared_directory(const Walk& way, const Opened& dir);

// Fails where a party that chose the way to `dir` (`way`'s choosers) may not write and enter it
// itself, as the kernel judges it with that party's credentials: the run would write as root
// where that party could only point. "the temporary directory was chosen by another account
// (uid N), which may not write it", or the same of everyone.
Result<> refuse_unless_choosers_write(const Walk& way, const Opened& dir);

}  // namespace common::access
