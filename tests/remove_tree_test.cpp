#include "common/remove_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "common/test_seam.h"
#include "tests/test_util.h"

namespace common {
namespace {

UniqueFd open_dir(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

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
  ASSERT_TRUE(remove_tree(open_dir(dir).get(), AT_FDCWD, dir));
  EXPECT_FALSE(tu::exists(dir));
  EXPECT_EQ(tu::read_text(keep + "/precious"), "x");

  // A subdirectory swapped for a link once found: the link is not entered.
  tu::make_dir(dir, 0700);
  tu::make_dir(dir + "/sub", 0700);
  static std::string swapped;
  swapped = dir + "/sub";
  const tu::ScopedValue seam(
      detail::seam_hook, +[](std::string_view point) {
        if (point == "remove:sub" &&
            (::rmdir(swapped.c_str()) | ::symlink("../keep", swapped.c_str())) != 0) {
          throw std::runtime_error("cannot swap " + swapped);
        }
      });
  EXPECT_EQ(tu::ok_or_error(remove_tree(open_dir(dir).get(), AT_FDCWD, dir)),
            "Not a directory (os error 20)");
  EXPECT_EQ(tu::read_text(keep + "/precious"), "x");
}

// A directory renamed away after it was opened is emptied where it now is but stays; what took
// its name is left alone.
TEST(RemoveTree, DirectoryRenamedAwayStaysEmptyAndItsNameIsLeftAlone) {
  tu::TempDir tmp;
  const std::string dir = tmp / "made";
  tu::make_dir(dir, 0700);
  tu::write_text(dir + "/file", "f");
  const UniqueFd held = open_dir(dir);
  ASSERT_EQ(std::rename(dir.c_str(), (tmp / "moved").c_str()), 0);
  tu::make_dir(dir, 0700);
  tu::write_text(dir + "/other", "o");
  EXPECT_EQ(tu::ok_or_error(remove_tree(held.get(), AT_FDCWD, dir)),
            "No such file or directory (os error 2)");
  EXPECT_EQ(tu::listing_order(tmp / "moved"), std::vector<std::string>{});
  EXPECT_EQ(tu::read_text(dir + "/other"), "o");
}

}  // namespace
}  // namespace common
