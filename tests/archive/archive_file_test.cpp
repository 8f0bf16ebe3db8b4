#include "common/archive/archive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::archive {
namespace {

class ArchiveFileTest : public ::testing::Test {
 protected:
  std::string open_result() { return tu::ok_or_error(open_archive_file(path_)); }

  tu::TempDir tmp_;
  std::string path_ = tmp_ / "oskel-data.tar.gz";
};

TEST_F(ArchiveFileTest, ExistingFileIsTruncatedKeepingItsMode) {
  tu::write_text(path_, std::string(100000, 'x'), 0640);
  ASSERT_EQ(open_result(), "ok");
  EXPECT_EQ(tu::mode_of(path_), S_IFREG | 0640);
  EXPECT_EQ(tu::read_text(path_), "");
}

TEST_F(ArchiveFileTest, NewFileIsOwnerOnlyAndBlocking) {
  tu::ScopedUmask umask(022);
  auto opened = open_archive_file(path_);
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

// The rule, for a user who is not root: owner x kind x hard links.
TEST(JudgeArchivePath, OwnLinksAreFollowedOwnSingleFilesTruncatedTheRestRefused) {
  using enum ArchivePathVerdict;
  constexpr uid_t kUser = 1000, kRoot = 0, kOther = 54321;
  const struct {
    uid_t owner;
    mode_t kind;
    nlink_t links;
    ArchivePathVerdict verdict;
  } cases[] = {
      {kUser, S_IFREG, 1, kTruncate}, {kRoot, S_IFREG, 1, kTruncate}, {kOther, S_IFREG, 1, kRefuse},
      {kUser, S_IFREG, 2, kRefuse},   {kRoot, S_IFREG, 2, kRefuse},   {kOther, S_IFREG, 2, kRefuse},
      {kUser, S_IFLNK, 1, kFollow},   {kRoot, S_IFLNK, 1, kFollow},   {kOther, S_IFLNK, 1, kRefuse},
      {kUser, S_IFIFO, 1, kTruncate}, {kRoot, S_IFDIR, 2, kTruncate}, {kOther, S_IFIFO, 1, kRefuse},
      {kOther, S_IFDIR, 2, kRefuse},  {kRoot, S_IFCHR, 1, kTruncate}, {kRoot, S_IFCHR, 2, kRefuse},
      {kRoot, S_IFLNK, 2, kRefuse},
  };
  for (const auto& c : cases) {
    struct stat existing {};
    existing.st_uid = c.owner;
    existing.st_mode = c.kind | 0644;
    existing.st_nlink = c.links;
    EXPECT_EQ(judge_archive_path(existing, kUser), c.verdict)
        << "owner " << c.owner << " kind " << std::oct << c.kind << " links " << c.links;
  }
}

class StickyDirTest : public ArchiveFileTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create files of another owner";
    ASSERT_EQ(::chmod(tmp_.path().c_str(), 01777), 0);
  }
  static constexpr uid_t kStranger = 54321;
};

// Our own link is followed, our own file rewritten; another user's are left as they are.
TEST_F(StickyDirTest, ForeignLinkOrFileIsRefusedOwnOnesAreUsed) {
  const std::string victim = tmp_ / "victim", denied = "Permission denied (os error 13)";
  const struct {
    const char* what;
    bool link;
    uid_t owner;
    std::string expected;
    std::string left;  // in the link's target or the file
  } cases[] = {
      {"foreign link", true, kStranger, denied, "precious"},
      {"foreign file", false, kStranger, denied, "planted"},
      {"own link", true, 0, "ok", ""},
      {"own file", false, 0, "ok", ""},
  };
  for (const auto& c : cases) {
    ::unlink(path_.c_str());
    tu::write_text(victim, "precious", 0644);
    if (c.link) {
      tu::make_symlink(victim, path_);
    } else {
      tu::write_text(path_, "planted", 0640);
    }
    ASSERT_EQ(::lchown(path_.c_str(), c.owner, c.owner), 0);
    EXPECT_EQ(open_result(), c.expected) << c.what;
    const std::string file = c.link ? victim : path_;
    EXPECT_EQ(tu::read_text(file), c.left) << c.what;
    EXPECT_EQ(tu::mode_of(file), S_IFREG | (c.link ? 0644 : 0640)) << c.what;
  }
}

TEST_F(StickyDirTest, ForeignLinkPlantedJustBeforeTheCreateIsNotFollowed) {
  const std::string victim = tmp_ / "victim";
  const auto opened = open_archive_file(path_, [&] {
    if (::symlink(victim.c_str(), path_.c_str()) == 0) ::lchown(path_.c_str(), kStranger, 0);
  });
  EXPECT_EQ(tu::ok_or_error(opened), "Permission denied (os error 13)");
  EXPECT_FALSE(tu::exists(victim));
}

}  // namespace
}  // namespace common::archive
