#include "common/fs_identity.h"

#include <unistd.h>

#include <functional>

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

std::string describe(const Steering& s) {
  if (!s) return "own rights";
  std::string text = std::to_string(s->uid) + "/" + std::to_string(s->gid);
  if (s->group) text.append(1, '+').append(std::to_string(*s->group));
  return text;
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
    EXPECT_EQ(describe(choose_identity(c.entry, c.dir, c.steering)), describe(c.expected))
        << c.name;
  }
}

TEST(PathSteering, OwnersOfTheWayAndWritersOfItsDirectories) {
  if (::geteuid() != 0) GTEST_SKIP() << "staging files of other accounts needs root (chown)";
  tu::TempDir tmp;
  if (path_steering(tmp.path(), true)) {
    GTEST_SKIP() << "the tests' temporary directory " << tmp.path()
                 << " lies where another account may change it";
  }
  using Paths = const std::string&;
  const struct {
    const char* name;
    std::function<int(Paths dir, Paths file)> stage;
    bool count_last;
    Steering expected;
  } cases[] = {
      {"root's own", [](Paths, Paths) { return 0; }, true, {}},
      {"the file's owner", [](Paths, Paths f) { return ::chown(f.c_str(), kService, kService); },
       true, kServiceId},
      {"the last component uncounted",
       [](Paths, Paths f) { return ::chown(f.c_str(), kService, kService); },
       false,
       {}},
      {"a directory's owner", [](Paths d, Paths) { return ::chown(d.c_str(), kService, kService); },
       true, kServiceId},
      {"a writable group",
       [](Paths, Paths f) { return ::chown(f.c_str(), 0, kGroup) | ::chmod(f.c_str(), 0664); },
       true, FsIdentity{kNobody, kNobody, kGroup}},
      {"a world-writable directory", [](Paths d, Paths) { return ::chmod(d.c_str(), 0777); }, true,
       kNobodyId},
      {"a sticky one", [](Paths d, Paths) { return ::chmod(d.c_str(), 01777); }, true, {}},
      {"a link on the way",
       [](Paths d, Paths) {
         return ::rename(d.c_str(), (d + ".real").c_str()) | ::symlink("etc.real", d.c_str()) |
                ::lchown(d.c_str(), kService, kService);
       },
       true, kServiceId},
  };
  for (const auto& c : cases) {
    const tu::TempDir each(tmp.path());
    const std::string dir = each / "etc";
    const std::string file = dir + "/app.cfg";
    tu::make_dir(dir, 0755);
    tu::write_text(file, "{}", 0644);
    ASSERT_EQ(c.stage(dir, file), 0) << c.name;
    EXPECT_EQ(describe(path_steering(c.count_last ? file : dir, c.count_last)),
              describe(c.expected))
        << c.name;
  }
}

}  // namespace
}  // namespace common
