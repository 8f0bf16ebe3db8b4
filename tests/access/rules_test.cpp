#include "common/access/rules.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::access {
namespace {

struct stat with(uid_t uid, mode_t mode, gid_t gid = 0, nlink_t links = 1) {
  struct stat st {};
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_mode = mode;
  st.st_nlink = links;
  return st;
}

// Who may have put an entry where it is, as writing and reading see it. What the black-box runs
// do not meet: a group on a sticky directory's entry, a sticky directory another account owns,
// a hard link of the run's.
TEST(Rules, WhoMayHavePutAnEntryWhereItIs) {
  const Changer service{Changer::Kind::kAccount, 1500};
  const Changer everyone{Changer::Kind::kEveryone, 0};
  const struct {
    const char* scenario;
    struct stat dir, entry;
    std::optional<Changer> changer;
    std::string choosers;
  } cases[] = {
      {"a directory in a world-writable one", with(0, S_IFDIR | 0757), with(0, S_IFDIR | 0755),
       everyone, "everyone"},
      {"root's directory in a sticky one", with(0, S_IFDIR | 01777), with(0, S_IFDIR | 0755),
       std::nullopt, "none"},
      {"a world-writable directory in a sticky one", with(0, S_IFDIR | 01777),
       with(0, S_IFDIR | 01757), everyone, "everyone"},
      {"a group's directory in a sticky one: the owner's grant", with(0, S_IFDIR | 01777),
       with(0, S_IFDIR | 0775, 1600), Changer{Changer::Kind::kGroup, 1600}, "none"},
      {"a file in a sticky one", with(0, S_IFDIR | 01777), with(0, S_IFREG | 0600),
       Changer{Changer::Kind::kGroup, 0}, "everyone"},
      {"root's link in a sticky one", with(0, S_IFDIR | 01777), with(0, S_IFLNK | 0777),
       Changer{Changer::Kind::kGroup, 0}, "everyone"},
      {"a sticky directory another account owns", with(1500, S_IFDIR | 01777),
       with(0, S_IFDIR | 0755), service, "uid 1500"},
      {"another account's link", with(0, S_IFDIR | 0755), with(1500, S_IFLNK | 0777), service,
       "uid 1500"},
      {"root's file with a second link where its group may write", with(0, S_IFDIR | 0775, 1600),
       with(0, S_IFREG | 0644, 0, 2), Changer{Changer::Kind::kGroup, 1600}, "everyone"},
      {"the service's file with a second link in its own directory", with(1500, S_IFDIR | 0755),
       with(1500, S_IFREG | 0644, 0, 2), service, "uid 1500"},
  };
  for (const auto& c : cases) {
    const Changers changers = placed_by(c.dir, writers_from(c.dir, std::nullopt), c.entry,
                                        writers_from(c.entry, std::nullopt));
    EXPECT_EQ(untrusted(changers), c.changer) << c.scenario;
    EXPECT_EQ(tu::describe(choosers(changers)), c.choosers) << c.scenario;
  }
}

}  // namespace
}  // namespace common::access
