#include "common/access/shared_directory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::access {
namespace {

TEST(IsSharedDirectory, AnotherAccountOnTheWayOrAnyoneButTheRunMayWriteIt) {
  constexpr uid_t kOther = 54321;
  Parties other_link;
  other_link.add(Party::account(kOther));
  const struct {
    const char* scenario;
    uid_t owner;
    gid_t group;
    mode_t mode;
    Parties way;
    bool shared;
  } cases[] = {
      {"root's own directory", 0, 0, 0755, {}, false},
      {"root's group may write: its members are others", 0, 0, 0775, {}, true},
      {"everyone may write, sticky (/tmp)", 0, 0, 01777, {}, true},
      {"a service account's own TMPDIR", kOther, kOther, 0700, {}, true},
      {"root's directory behind the service's link", 0, 0, 0700, other_link, true},
  };
  // A directory without an ACL, judged by the modes above.
  tu::TempDir tmp;
  Opened dir{UniqueFd(::open(tmp.path().c_str(), O_PATH | O_CLOEXEC)), {}};
  for (const auto& c : cases) {
    dir.st.st_uid = c.owner;
    dir.st.st_gid = c.group;
    dir.st.st_mode = S_IFDIR | c.mode;
    EXPECT_EQ(is_shared_directory(Resolver(c.way), dir), c.shared) << c.scenario;
  }
}

}  // namespace
}  // namespace common::access
