#include "common/access/way.h"

#include <gtest/gtest.h>

namespace common::access {
namespace {

struct stat with(uid_t uid, mode_t mode) {
  struct stat st {};
  st.st_uid = uid;
  st.st_mode = mode;
  return st;
}

// What the black-box runs do not meet: everyone, sticky directories, links, ACL users.
TEST(Way, WhoMayReplaceAnEntryForRootAlone) {
  const Changer service{Changer::Kind::kAccount, 1500};
  const struct {
    struct stat dir, entry;
    std::optional<Changer> changer;
  } cases[] = {
      {with(0, S_IFDIR | 0757), with(0, S_IFDIR), Changer{Changer::Kind::kEveryone, 0}},
      {with(0, S_IFDIR | 01777), with(0, S_IFDIR), std::nullopt},
      {with(0, S_IFDIR | 01777), with(1500, S_IFREG), service},
      {with(1500, S_IFDIR | 01777), with(0, S_IFREG), service},
      {with(0, S_IFDIR | 0755), with(1500, S_IFLNK | 0777), service},
  };
  for (const auto& c : cases) {
    const Writers writers = writers_from(c.dir, std::nullopt);
    EXPECT_EQ(may_replace(c.dir, writers, c.entry, Trust::kRootAlone), c.changer) << &c - cases;
  }
  EXPECT_EQ(untrusted_writer({0, std::nullopt, {0, 1700}, {}, false}, Trust::kRootAlone),
            (Changer{Changer::Kind::kAccount, 1700}));
}

}  // namespace
}  // namespace common::access
