#include "common/parties.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

// A host's account files, malformed lines and a second "svc" included.
constexpr const char* kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "syslog:x:104:110::/home/syslog:/usr/sbin/nologin\n"
    "svc:x:1500:1600::/var/lib/svc:/usr/sbin/nologin\n"
    "a line that is no account\n"
    "bob:x:1701:1701::/home/bob:/bin/sh\n"
    "eve:x:17x:1:::\n"
    "svc:x:1999:1999::/:/bin/sh\n"
    "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin";
constexpr const char* kGroup =
    "root:x:0:\n"
    "adm:x:4:syslog\n"
    "wheel:x:10:root\n"
    "syslog:x:110:\n"
    "svc:x:1600:\n"
    "svcdata:x:1601:svc\n"
    "ops:x:1700:bob,svc,ghost\n"
    "bob:x:1701:\n"
    "broken:x:1800\n"
    "extra:x:1801:svc,\n";

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
  const Accounts accounts(kPasswd, kGroup);
  const struct {
    const char* scenario;
    struct stat entry, dir;
    std::string parties, credentials;
  } cases[] = {
      {"Ubuntu's /var/log (root:syslog 0775): a root daemon's log", stat_of(S_IFREG | 0600, 0, 0),
       stat_of(S_IFDIR | 0775, 0, 110), "none", ""},
      {"Ubuntu's /var/log: root's link there, swappable by syslog's members",
       stat_of(S_IFLNK | 0777, 0, 0), stat_of(S_IFDIR | 0775, 0, 110), "group 110", "65534/110"},
      {"a setgid svc:adm directory: the service's link is read without adm",
       stat_of(S_IFLNK | 0777, 1500, 4), stat_of(S_IFDIR | 02750, 1500, 4), "uid 1500",
       "1500/1600+1600,1601,1700,1801"},
      {"a directory the service owns: root's file moved in", stat_of(S_IFREG | 0600, 0, 0),
       stat_of(S_IFDIR | 0755, 1500, 1600), "uid 1500", "1500/1600+1600,1601,1700,1801"},
      {"svc:svc 0775: the group's only member is the owner", stat_of(S_IFREG | 0600, 1500, 1600, 2),
       stat_of(S_IFDIR | 0775, 1500, 1600), "uid 1500", "1500/1600+1600,1601,1700,1801"},
      {"1500:1700 0775: a hard link a member of ops made", stat_of(S_IFREG | 0600, 1500, 1500, 2),
       stat_of(S_IFDIR | 0775, 1500, 1700), "uid 1500, group 1700",
       "1500/1600+1600,1601,1700,1801; 65534/1700"},
      {"a group no file lists and no account has", stat_of(S_IFLNK | 0777, 0, 0),
       stat_of(S_IFDIR | 0775, 0, 1900), "group 1900", "65534/1900"},
      {"a group whose only member is root", stat_of(S_IFLNK | 0777, 0, 0),
       stat_of(S_IFDIR | 0775, 0, 10), "none", ""},
      {"sticky /tmp: root's link is safe", stat_of(S_IFLNK | 0777, 0, 0),
       stat_of(S_IFDIR | 01777, 0, 0), "none", ""},
      {"sticky /tmp: anyone may make a hard link", stat_of(S_IFREG | 0600, 0, 0, 2),
       stat_of(S_IFDIR | 01777, 0, 0), "everyone", "65534/65534"},
      {"world-writable without the sticky bit: root's link", stat_of(S_IFLNK | 0777, 0, 0),
       stat_of(S_IFDIR | 0777, 0, 0), "everyone", "65534/65534"},
      {"another account's link in root's directory", stat_of(S_IFLNK | 0777, 1701, 1701),
       stat_of(S_IFDIR | 0755, 0, 0), "uid 1701", "1701/1701+1700,1701"},
      {"an account /etc/passwd does not list", stat_of(S_IFLNK | 0777, 2500, 2500),
       stat_of(S_IFDIR | 0755, 0, 0), "uid 2500", "2500/65534"},
      {"root's directory: a subdirectory is the run's own", stat_of(S_IFDIR | 0755, 1500, 1500, 3),
       stat_of(S_IFDIR | 0775, 0, 1700), "none", ""},
  };
  for (const auto& c : cases) {
    Parties parties = owner_of(c.dir);
    parties.add(choosers_of(c.entry, c.dir, accounts));
    std::string credentials;
    for (const Party& party : parties) {
      credentials += (credentials.empty() ? "" : "; ") + tu::describe(party.credentials(accounts));
    }
    EXPECT_EQ(tu::describe(parties), c.parties) << c.scenario;
    EXPECT_EQ(credentials, c.credentials) << c.scenario;
  }
}

// The stand-in's own uid opens a file of 65534's to it; group and other bits do not count.
TEST(Parties, AFileOf65534IsNotReadThroughTheStandIn) {
  const struct {
    const char* scenario;
    Party party;
    struct stat file;
    bool owed;
  } cases[] = {
      {"everyone, nobody's 0600 file", Party::everyone(), stat_of(S_IFREG | 0600, kNobody, 0),
       true},
      {"everyone, nobody's 0644 file", Party::everyone(), stat_of(S_IFREG | 0644, kNobody, 0),
       false},
      {"a group, nobody's 0640 file of that group", Party::group(7),
       stat_of(S_IFREG | 0640, kNobody, 7), false},
      {"a group, nobody's 0640 file of another group", Party::group(7),
       stat_of(S_IFREG | 0640, kNobody, 8), true},
      {"the account nobody itself", Party::account(kNobody), stat_of(S_IFREG | 0600, kNobody, 0),
       false},
      {"everyone, root's 0600 file", Party::everyone(), stat_of(S_IFREG | 0600, 0, 0), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(owed_to_stand_in(c.party, c.file, S_IROTH), c.owed) << c.scenario;
  }
}

}  // namespace
}  // namespace common
