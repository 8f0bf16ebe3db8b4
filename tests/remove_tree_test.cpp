#include "common/remove_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

using testing_util::exists;
using testing_util::read_text;
using testing_util::TempDir;
using testing_util::write_text;

TEST(RemoveTree, RemovesEverythingAndNeverFollowsLinks) {
  TempDir tmp;
  const std::string keep = tmp / "keep";
  ::mkdir(keep.c_str(), 0755);
  write_text(keep + "/precious", "x");
  const std::string dir = tmp / "gone";
  ::mkdir(dir.c_str(), 0700);
  ::mkdir((dir + "/sub").c_str(), 0700);
  write_text(dir + "/sub/file", "f");
  // Read-only for the owner; only root can still empty it, so only root tests that.
  if (::geteuid() == 0) ::chmod((dir + "/sub").c_str(), 0500);
  ::symlink(keep.c_str(), (dir + "/link").c_str());
  ASSERT_TRUE(remove_tree(dir));
  EXPECT_FALSE(exists(dir));
  EXPECT_EQ(read_text(keep + "/precious"), "x");
  EXPECT_FALSE(remove_tree(tmp / "missing"));
  // A link at the top path itself is not followed either.
  ::symlink(keep.c_str(), (tmp / "alias").c_str());
  EXPECT_FALSE(remove_tree(tmp / "alias"));
  EXPECT_EQ(read_text(keep + "/precious"), "x");
}

}  // namespace
}  // namespace common
