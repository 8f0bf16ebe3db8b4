#include "common/access/way.h"

#include <gtest/gtest.h>

namespace common::access {
namespace {

struct stat with(uid_t uid, mode_t mode) {
  struct stat st {};
  st.st_uid = uid;
  st.st_gid = uid;
  st.st_mode = mode;
  return st;
}

constexpr Changer account(std::uint32_t uid) { return {Changer::Kind::kAccount, uid}; }
constexpr Changer kGroup0{Changer::Kind::kGroup, 0}, kEveryone{Changer::Kind::kEveryone, 0};

TEST(Way, WhoMayReplaceAnEntryForRootAlone) {
  const std::optional<Changer> none;
  const struct {
    const char* scenario;
    struct stat dir, entry;
    std::optional<Changer> changer;
  } cases[] = {
      {"root's 0755", with(0, S_IFDIR | 0755), with(0, S_IFREG), none},
      {"group 0 may write", with(0, S_IFDIR | 0775), with(0, S_IFREG), kGroup0},
      {"anyone may write", with(0, S_IFDIR | 0757), with(0, S_IFDIR), kEveryone},
      {"another's directory", with(1500, S_IFDIR | 0755), with(0, S_IFREG), account(1500)},
      {"root's entry, sticky", with(0, S_IFDIR | 01777), with(0, S_IFDIR), none},
      {"another's entry, sticky", with(0, S_IFDIR | 01777), with(1500, S_IFREG), account(1500)},
      {"sticky, another's", with(1500, S_IFDIR | 01777), with(0, S_IFREG), account(1500)},
      {"another's link", with(0, S_IFDIR | 0755), with(1500, S_IFLNK | 0777), account(1500)},
  };
  for (const auto& c : cases) {
    const Writers writers = writers_from(c.dir, std::nullopt);
    EXPECT_EQ(may_replace(c.dir, writers, c.entry, Trust::kRootAlone), c.changer) << c.scenario;
  }
  // A named ACL user that may write.
  EXPECT_EQ(untrusted_writer({0, std::nullopt, {0, 1700}, {}, false}, Trust::kRootAlone),
            account(1700));
}

}  // namespace
}  // namespace common::access
