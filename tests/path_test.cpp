#include "common/path.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(JoinPath, OneSlashBetweenPartsAndAbsoluteSecondPartWins) {
  EXPECT_EQ(join_path("/tmp", "oskel-data"), "/tmp/oskel-data");
  EXPECT_EQ(join_path("/tmp/", "oskel-data"), "/tmp/oskel-data");
  EXPECT_EQ(join_path("", "oskel-data"), "oskel-data");
  EXPECT_EQ(join_path("/", "x"), "/x");
  EXPECT_EQ(join_path("/tmp", "/etc"), "/etc");
  EXPECT_EQ(join_path("a", ""), "a/");
}

TEST(BaseNameAndParent, LastComponentAndWhatComesBefore) {
  const struct {
    const char* path;
    const char* base;
    const char* parent;
  } cases[] = {
      {"/opt/keldra/etc/keldra-oskel.cfg", "keldra-oskel.cfg", "/opt/keldra/etc"},
      {"oskel_info", "oskel_info", "."},
      {"./oskel_info", "oskel_info", "."},
      {"/oskel-data.tar.gz", "oskel-data.tar.gz", "/"},
      {"/a/b/", "b", "/a/b"},
      {"/", "", "/"},
      {"", "", "."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base_name(c.path), c.base) << c.path;
    EXPECT_EQ(parent_dir(c.path), c.parent) << c.path;
  }
}

}  // namespace
}  // namespace common
