#include "common/fs_identity.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

constexpr uid_t kService = 1500;
constexpr gid_t kGroup = 1600;
const FsIdentity kServiceId{kService, kService, std::nullopt};
const FsIdentity kNobodyId{kNobody, kNobody, std::nullopt};

struct stat stat_of(mode_t mode, uid_t uid, gid_t gid, nlink_t links = 1) {
  struct stat st {};
  st.st_mode = mode;
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_nlink = links;
  return st;
}

TEST(ChooseIdentity, WhoeverChoseTheFileReadsIt) {
  if (::geteuid() == kService) GTEST_SKIP() << "the table's other account is the running user";
  const struct stat root_dir = stat_of(S_IFDIR | 0755, 0, 0);
  const struct stat service_dir = stat_of(S_IFDIR | 0755, kService, kService);
  const struct stat sticky_dir = stat_of(S_IFDIR | 01777, 0, 0);
  const struct stat open_dir = stat_of(S_IFDIR | 0777, 0, 0);
  const struct stat group_dir = stat_of(S_IFDIR | 0775, 0, kGroup);
  const struct stat service_link = stat_of(S_IFLNK | 0777, kService, kService);
  const struct stat root_link = stat_of(S_IFLNK | 0777, 0, 0);
  const struct stat file = stat_of(S_IFREG | 0600, 0, 0);
  const struct stat linked_file = stat_of(S_IFREG | 0600, 0, 0, 2);
  const FsIdentity group_id{kNobody, kNobody, kGroup};
  const FsIdentity other_id{1700, 1700, std::nullopt};

  const struct {
    const char* name;
    struct stat entry, dir;
    Steering steering, expected;
  } cases[] = {
      {"root's file", file, service_dir, {}, {}},
      {"another account's link", service_link, root_dir, {}, kServiceId},
      {"root's link in root's directory", root_link, root_dir, {}, {}},
      {"root's link where the service may swap it", root_link, service_dir, {}, kServiceId},
      {"root's link in a group's directory", root_link, group_dir, {}, group_id},
      {"root's link in a world-writable directory", root_link, open_dir, {}, kNobodyId},
      {"root's link in a sticky directory", root_link, sticky_dir, {}, {}},
      {"hard link in root's directory", linked_file, root_dir, {}, {}},
      {"hard link in the service's directory", linked_file, service_dir, {}, kServiceId},
      {"hard link in a sticky directory", linked_file, sticky_dir, {}, kNobodyId},
      {"configuration's controller", file, root_dir, other_id, other_id},
      {"the same account twice", service_link, root_dir, kServiceId, kServiceId},
      {"two accounts", service_link, root_dir, other_id, kNobodyId},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tu::describe(choose_identity(c.entry, c.dir, c.steering)), tu::describe(c.expected))
        << c.name;
  }
}

}  // namespace
}  // namespace common
