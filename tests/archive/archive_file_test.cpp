#include "common/archive/archive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::archive {
namespace {

using testing_util::mode_of;
using testing_util::read_text;
using testing_util::TempDir;
using testing_util::write_text;

class ArchiveFileTest : public ::testing::Test {
 protected:
  std::string open_error() {
    const auto opened = open_archive_file(path_);
    return opened ? "opened" : opened.error().text();
  }

  TempDir tmp_;
  std::string path_ = tmp_ / "oskel-data.tar.gz";
};

TEST_F(ArchiveFileTest, ExistingFileIsTruncatedKeepingItsMode) {
  write_text(path_, std::string(100000, 'x'), 0640);
  ASSERT_EQ(open_error(), "opened");
  EXPECT_EQ(mode_of(path_), S_IFREG | 0640);
  EXPECT_EQ(read_text(path_), "");
}

TEST_F(ArchiveFileTest, NewFileIsOwnerOnlyAndBlocking) {
  testing_util::ScopedUmask umask(022);
  auto opened = open_archive_file(path_);
  ASSERT_TRUE(opened);
  EXPECT_EQ(mode_of(path_), S_IFREG | 0600);
  // Opened without waiting, but written with waiting: a full pipe or a slow disk must not
  // lose data to EAGAIN.
  EXPECT_EQ(::fcntl(opened->get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(ArchiveFileTest, DirectoryOrFifoAtThePathIsAnErrorWithoutWaiting) {
  ::mkdir(path_.c_str(), 0755);
  EXPECT_EQ(open_error(), "Is a directory (os error 21)");
  ::rmdir(path_.c_str());
  ::mkfifo(path_.c_str(), 0644);
  EXPECT_EQ(open_error(), "No such device or address (os error 6)");
}

class StickyDirTest : public ArchiveFileTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create files of another owner";
    ASSERT_EQ(::chmod(tmp_.path().c_str(), 01777), 0);
  }
  static constexpr uid_t kStranger = 54321;
};

TEST_F(StickyDirTest, ForeignLinkOrFileIsRefusedOwnOnesAreUsed) {
  write_text(tmp_ / "victim", "precious", 0644);
  ::symlink((tmp_ / "victim").c_str(), path_.c_str());
  ASSERT_EQ(::lchown(path_.c_str(), kStranger, kStranger), 0);
  EXPECT_EQ(open_error(), "Permission denied (os error 13)");
  EXPECT_EQ(read_text(tmp_ / "victim"), "precious");

  ::unlink(path_.c_str());
  write_text(path_, "planted", 0666);
  ASSERT_EQ(::chown(path_.c_str(), kStranger, kStranger), 0);
  EXPECT_EQ(open_error(), "Permission denied (os error 13)");
  EXPECT_EQ(read_text(path_), "planted");

  // Our own link is followed, our own file rewritten.
  ::unlink(path_.c_str());
  ::symlink((tmp_ / "victim").c_str(), path_.c_str());
  EXPECT_EQ(open_error(), "opened");
  EXPECT_EQ(read_text(tmp_ / "victim"), "");
  ::unlink(path_.c_str());
  write_text(path_, "old", 0640);
  EXPECT_EQ(open_error(), "opened");
  EXPECT_EQ(mode_of(path_), S_IFREG | 0640);
  EXPECT_EQ(read_text(path_), "");
}

TEST_F(StickyDirTest, ForeignLinkPlantedJustBeforeTheCreateIsNotFollowed) {
  const std::string victim = tmp_ / "victim";
  const auto opened = open_archive_file(path_, [&] {
    if (::symlink(victim.c_str(), path_.c_str()) == 0) ::lchown(path_.c_str(), kStranger, 0);
  });
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().text(), "Permission denied (os error 13)");
  EXPECT_FALSE(testing_util::exists(victim));
}

}  // namespace
}  // namespace common::archive
