#include "common/archive/archive_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::archive {
namespace {

constexpr const char* kName = "oskel-data.tar.gz";
constexpr uid_t kStranger = 54321;
const std::string kHeldByStranger = "the archive path is held by another account (uid 54321)";

// The archive opened in `dir` as a run opens it, in a shared directory or another.
Result<ArchiveFile> open_in(const std::string& dir, bool shared,
                            const std::function<void()>& before_create = {}) {
  const UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return open_archive_file(fd.get(), kName, dir + "/" + kName, shared, before_create);
}

class ArchiveFileTest : public ::testing::Test {
 protected:
  std::string open_result(bool shared = false) {
    return tu::ok_or_error(open_in(tmp_.path(), shared));
  }

  tu::TempDir tmp_;
  std::string path_ = tmp_ / kName;
};

// An old archive, and one behind the run's own link, is replaced by a new owner-only file:
// whoever opened the old one while it was readable never reads the new one through it.
TEST_F(ArchiveFileTest, ExistingFileIsReplacedOwnerOnlyAndWrittenWithWaiting) {
  for (const bool behind_a_link : {false, true}) {
    const std::string old = behind_a_link ? tmp_ / "target" : path_;
    tu::write_text(old, "old", 0644);
    if (behind_a_link) tu::make_symlink(old, path_);
    const UniqueFd reader(::open(old.c_str(), O_RDONLY | O_CLOEXEC));
    const auto opened = open_in(tmp_.path(), false);
    ASSERT_TRUE(opened) << behind_a_link;
    ASSERT_TRUE(write_all(opened->fd.get(), "new"));
    EXPECT_EQ(tu::mode_of(old), S_IFREG | 0600);
    EXPECT_EQ(tu::read_text(old), "new");
    EXPECT_EQ(read_all(reader.get(), 100).value_or(""), "old") << behind_a_link;
    EXPECT_EQ(::fcntl(opened->fd.get(), F_GETFL) & O_NONBLOCK, 0);
    ::unlink(path_.c_str());
  }
}

TEST_F(ArchiveFileTest, NewFileIsOwnerOnlyAndBlocking) {
  tu::ScopedUmask umask(022);
  auto opened = open_in(tmp_.path(), false);
  ASSERT_TRUE(opened);
  EXPECT_EQ(tu::mode_of(path_), S_IFREG | 0600);
  // Opened without waiting, but written with waiting: a full pipe or a slow disk must not
  // lose data to EAGAIN.
  EXPECT_EQ(::fcntl(opened->fd.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(ArchiveFileTest, DirectoryOrFifoAtThePathIsAnErrorWithoutWaiting) {
  tu::make_dir(path_);
  EXPECT_EQ(open_result(), "Is a directory (os error 21)");
  ASSERT_EQ(::rmdir(path_.c_str()), 0);
  tu::make_fifo(path_);
  EXPECT_EQ(open_result(), "No such device or address (os error 6)");
}

// Root's link at the archive path, made while the directory was the run's alone, leads a
// session leader without a terminal to one: opening it must not make it the run's.
TEST_F(ArchiveFileTest, TerminalBehindTheArchivePathNeverBecomesTheControllingOne) {
  const std::string outcome = tu::in_child([&]() -> std::string {
    if (::setsid() < 0) return "setsid failed";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return "no pty";
    if (::symlink(::ptsname(master), path_.c_str()) != 0) return "cannot link";
    const auto opened = open_in(tmp_.path(), false);
    if (!opened) return "open failed: " + opened.error().text();
    const int tty = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    return tty < 0 ? "" : "the terminal became the controlling one";
  });
  EXPECT_EQ(outcome, "");
}

// A run that is not root may write into a drop box (write and search, no read): the flush
// cannot reach the directory's entry and does without.
TEST_F(ArchiveFileTest, FlushInADropBoxSucceeds) {
  std::string why_not;
  const std::string base = tu::base_reachable_by_nobody(why_not);
  if (base.empty()) GTEST_SKIP() << "no directory the user nobody can reach: " << why_not;
  tu::TempDir tmp(base);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0777), 0);
  const std::string box = tmp / "box";
  const std::string outcome = tu::in_child([&]() -> std::string {
    if (!tu::drop_to_nobody()) return "cannot drop to nobody";
    if (::mkdir(box.c_str(), 0700) != 0 || ::chmod(box.c_str(), 0333) != 0) return "no box";
    auto opened = open_in(box, true);
    if (!opened) return "open failed: " + opened.error().text();
    return tu::ok_or_error(opened->flush()) == "ok" ? "" : opened->flush().error().text();
  });
  EXPECT_EQ(outcome, "");
}

// The rule, for a user who is not root: owner x kind x hard links.
TEST(JudgeArchivePath, OwnLinksAreFollowedOwnSingleFilesTruncatedTheRestRefused) {
  using enum ArchivePathVerdict;
  constexpr uid_t kUser = 1000, kRoot = 0, kOther = 54321;
  const struct {
    const char* scenario;
    uid_t owner;
    mode_t kind;
    nlink_t links;
    ArchivePathVerdict verdict;
  } cases[] = {
      {"the user's old archive", kUser, S_IFREG, 1, kTruncate},
      {"an old archive root made", kRoot, S_IFREG, 1, kTruncate},
      {"another account's file", kOther, S_IFREG, 1, kRefuse},
      {"a hard link to the user's file", kUser, S_IFREG, 2, kRefuse},
      {"a hard link to a root file", kRoot, S_IFREG, 2, kRefuse},
      {"the user's link to where archives go", kUser, S_IFLNK, 1, kFollow},
      {"root's link to where archives go", kRoot, S_IFLNK, 1, kFollow},
      {"another account's link", kOther, S_IFLNK, 1, kRefuse},
      {"a hard link to root's link", kRoot, S_IFLNK, 2, kRefuse},
      {"the user's FIFO", kUser, S_IFIFO, 1, kTruncate},
      {"root's device", kRoot, S_IFCHR, 1, kTruncate},
      {"a hard link to root's device", kRoot, S_IFCHR, 2, kRefuse},
      {"root's directory (the open says EISDIR)", kRoot, S_IFDIR, 2, kTruncate},
      {"another account's directory", kOther, S_IFDIR, 2, kRefuse},
  };
  for (const auto& c : cases) {
    struct stat existing {};
    existing.st_uid = c.owner;
    existing.st_mode = c.kind | 0644;
    existing.st_nlink = c.links;
    EXPECT_EQ(judge_archive_path(existing, kUser), c.verdict) << c.scenario;
  }
}

class OtherOwnerTest : public ArchiveFileTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create files of another owner";
  }
};

// Root's own link is followed, but what it leads to is judged in turn.
TEST_F(OtherOwnerTest, WhatRootsLinkLeadsToIsJudgedToo) {
  const std::string target = tmp_ / "target";
  const struct {
    const char* scenario;
    uid_t owner;
    bool second_link;
    std::string expected;
  } cases[] = {
      {"another account's file", kStranger, false, kHeldByStranger},
      {"a root file with a second hard link", 0, true, "Permission denied (os error 13)"},
  };
  for (const auto& c : cases) {
    ::unlink(path_.c_str());
    ::unlink((tmp_ / "second").c_str());
    tu::write_text(target, "precious", 0644);
    ASSERT_EQ(::chown(target.c_str(), c.owner, c.owner), 0);
    if (c.second_link) {
      ASSERT_EQ(::link(target.c_str(), (tmp_ / "second").c_str()), 0);
    }
    tu::make_symlink(target, path_);
    EXPECT_EQ(open_result(), c.expected) << c.scenario;
    EXPECT_EQ(tu::read_text(target), "precious") << c.scenario;
  }
}

// What another account places at the name while the archive is written is judged again.
TEST_F(OtherOwnerTest, EntryPlantedBeforeTheRenameIsLeftAndTheNewFileRemoved) {
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 01777), 0);
  auto opened = open_in(tmp_.path(), true);
  ASSERT_TRUE(opened);
  tu::write_text(path_, "planted");
  ASSERT_EQ(::chown(path_.c_str(), kStranger, kStranger), 0);
  EXPECT_EQ(tu::ok_or_error(opened->flush()), kHeldByStranger);
  opened->discard();
  EXPECT_EQ(tu::listing_order(tmp_.path()), std::vector<std::string>{kName});
  EXPECT_EQ(tu::read_text(path_), "planted");
}

TEST_F(OtherOwnerTest, ForeignLinkPlantedJustBeforeTheCreateIsNotFollowed) {
  const std::string victim = tmp_ / "victim";
  const auto opened = open_in(tmp_.path(), false, [&] {
    if (::symlink(victim.c_str(), path_.c_str()) == 0) ::lchown(path_.c_str(), kStranger, 0);
  });
  EXPECT_EQ(tu::ok_or_error(opened), kHeldByStranger);
  EXPECT_FALSE(tu::exists(victim));
}

}  // namespace
}  // namespace common::archive
