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
TEST(Way, WhoMayReplaceAnEntry) {
  const Changer service{Changer::Kind::kAccount, 1500};
  const Changer group0{Changer::Kind::kGroup, 0};
  const struct {
    struct stat dir, entry;
    Trust trust;
    std::optional<Changer> changer;
  } cases[] = {
      {with(0, S_IFDIR | 0757), with(0, S_IFDIR), Trust::kRootAlone,
       Changer{Changer::Kind::kEveryone, 0}},
      {with(0, S_IFDIR | 01777), with(0, S_IFDIR), Trust::kRootAlone, std::nullopt},
      {with(0, S_IFDIR | 01777), with(0, S_IFREG), Trust::kRootAlone, group0},
      {with(1500, S_IFDIR | 01777), with(0, S_IFREG), Trust::kTheRun, service},
      {with(0, S_IFDIR | 0755), with(1500, S_IFLNK | 0777), Trust::kRootAlone, service},
  };
  for (const auto& c : cases) {
    const Writers writers = writers_from(c.dir, std::nullopt);
    EXPECT_EQ(may_replace(c.dir, writers, c.entry, c.trust), c.changer) << &c - cases;
  }
}

}  // namespace
}  // namespace common::access
