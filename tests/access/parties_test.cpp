#include "common/access/parties.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::access {
namespace {

struct stat stat_of(mode_t mode, uid_t uid, gid_t gid, nlink_t links = 1) {
  struct stat st {};
  st.st_mode = mode;
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_nlink = links;
  return st;
}

// Who chose entry `entry` of `dir` (the directory's owner included), and the credentials each
// is read with.
TEST(Parties, WhoChoseAnEntryAndWithWhatCredentialsItIsRead) {
  if (is_trusted(1500) || is_trusted(1701)) GTEST_SKIP() << "the table's accounts are the run's";
  const std::string unheld = std::to_string(kUnheldUid) + "/" + std::to_string(kUnheldGid);
  const std::string service = "1500/" + std::to_string(kUnheldGid);
  const struct {
    const char* scenario;
    struct stat entry, dir;
    bool dir_writers_beyond_owner;
    std::string parties, credentials;
  } cases[] = {
      {"Ubuntu's /var/log (root:syslog 0775): a root daemon's log", stat_of(S_IFREG | 0600, 0, 0),
       stat_of(S_IFDIR | 0775, 0, 110), false, "none", ""},
      {"Ubuntu's /var/log: root's link, the syslog group's grant", stat_of(S_IFLNK | 0777, 0, 0),
       stat_of(S_IFDIR | 0775, 0, 110), false, "none", ""},
      {"a setgid svc:adm directory: the service's link, read without adm",
       stat_of(S_IFLNK | 0777, 1500, 4), stat_of(S_IFDIR | 02750, 1500, 4), false, "uid 1500",
       service},
      {"a directory the service owns: root's file moved in", stat_of(S_IFREG | 0600, 0, 0),
       stat_of(S_IFDIR | 0755, 1500, 1600), false, "uid 1500", service},
      {"1500:1700 0775: a hard link a member of the group made",
       stat_of(S_IFREG | 0600, 1500, 1501, 2), stat_of(S_IFDIR | 0775, 1500, 1700), true,
       "uid 1500, everyone", service + "; " + unheld},
      {"svc:svc 0755: the owner's own hard link", stat_of(S_IFREG | 0600, 1500, 1501, 2),
       stat_of(S_IFDIR | 0755, 1500, 1600), false, "uid 1500", service},
      {"sticky /tmp: root's file moved in under a free name", stat_of(S_IFREG | 0600, 0, 0),
       stat_of(S_IFDIR | 01777, 0, 0), false, "everyone", unheld},
      {"sticky /tmp: root's link moved in", stat_of(S_IFLNK | 0777, 0, 0),
       stat_of(S_IFDIR | 01777, 0, 0), false, "everyone", unheld},
      {"sticky /tmp: root's directory", stat_of(S_IFDIR | 0755, 0, 0),
       stat_of(S_IFDIR | 01777, 0, 0), false, "none", ""},
      {"world-writable, not sticky: root's directory", stat_of(S_IFDIR | 0755, 0, 0),
       stat_of(S_IFDIR | 0777, 0, 0), false, "everyone", unheld},
      {"world-writable, not sticky: another account's directory, swappable for a sibling",
       stat_of(S_IFDIR | 0700, 1701, 1702), stat_of(S_IFDIR | 0777, 0, 0), false, "everyone",
       unheld},
      {"sticky: another account's directory stays its own", stat_of(S_IFDIR | 0700, 1701, 1702),
       stat_of(S_IFDIR | 01777, 0, 0), false, "none", ""},
      {"a link hard-linked into a directory its group may write", stat_of(S_IFLNK | 0777, 0, 0, 2),
       stat_of(S_IFDIR | 0775, 0, 1600), true, "everyone", unheld},
      {"another account's link in root's directory", stat_of(S_IFLNK | 0777, 1701, 1702),
       stat_of(S_IFDIR | 0755, 0, 0), false, "uid 1701", "1701/" + std::to_string(kUnheldGid)},
  };
  for (const auto& c : cases) {
    Parties parties = owner_of(c.dir);
    parties.add(choosers_of(c.entry, c.dir, c.dir_writers_beyond_owner));
    std::string credentials;
    for (const Party& party : parties) {
      credentials += (credentials.empty() ? "" : "; ") + tu::describe(party.credentials());
    }
    EXPECT_EQ(tu::describe(parties), c.parties) << c.scenario;
    EXPECT_EQ(credentials, c.credentials) << c.scenario;
  }
}

// No read is granted through holding an unheld id: a file of the unheld uid or gid is read as
// its other bits say.
TEST(Parties, AFileOfAnUnheldIdIsNotReadThroughIt) {
  const struct {
    const char* scenario;
    Party party;
    struct stat file;
    bool owed;
  } cases[] = {
      {"everyone, the unheld uid's 0600 file", Party::everyone(),
       stat_of(S_IFREG | 0600, kUnheldUid, 0), true},
      {"everyone, its 0644 file", Party::everyone(), stat_of(S_IFREG | 0644, kUnheldUid, 0), false},
      {"an account, a 0640 file of the unheld gid", Party::account(1500),
       stat_of(S_IFREG | 0640, 0, kUnheldGid), true},
      {"an account, its own 0600 file of the unheld gid", Party::account(1500),
       stat_of(S_IFREG | 0600, 1500, kUnheldGid), false},
      {"everyone, root's 0600 file", Party::everyone(), stat_of(S_IFREG | 0600, 0, 0), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(owed_to_unheld_id(c.party, c.file, S_IROTH), c.owed) << c.scenario;
  }
}

}  // namespace
}  // namespace common::access
