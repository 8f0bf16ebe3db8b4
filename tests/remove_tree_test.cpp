#include "common/remove_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

TEST(RemoveTree, RemovesEverythingAndNeverFollowsLinks) {
  tu::TempDir tmp;
  const std::string keep = tmp / "keep";
  tu::make_dir(keep, 0755);
  tu::write_text(keep + "/precious", "x");
  const std::string dir = tmp / "gone";
  tu::make_dir(dir, 0700);
  tu::make_dir(dir + "/sub", 0700);
  tu::write_text(dir + "/sub/file", "f");
  // Read-only for the owner; only root can still empty it, so only root tests that.
  if (::geteuid() == 0) ::chmod((dir + "/sub").c_str(), 0500);
  tu::make_symlink(keep, dir + "/link");
  ASSERT_TRUE(remove_tree(dir));
  EXPECT_FALSE(tu::exists(dir));
  EXPECT_EQ(tu::read_text(keep + "/precious"), "x");
  EXPECT_FALSE(remove_tree(tmp / "missing"));
  // A link at the top path itself is not followed either.
  tu::make_symlink(keep, tmp / "alias");
  EXPECT_FALSE(remove_tree(tmp / "alias"));
  EXPECT_EQ(tu::read_text(keep + "/precious"), "x");
}

}  // namespace
}  // namespace common
