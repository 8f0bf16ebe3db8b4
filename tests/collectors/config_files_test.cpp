#include "common/collectors/config_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::collectors {
namespace {

using testing_util::mode_of;
using testing_util::read_text;
using testing_util::TempDir;
using testing_util::write_text;

TEST(ConfigFilePath, IsTheFixedDirectoryAndTheFileName) {
  EXPECT_EQ(config_file_path("keldra-oskel.cfg"), "/opt/keldra/etc/keldra-oskel.cfg");
  EXPECT_EQ(config_file_path("keldra-fenno.cfg"), "/opt/keldra/etc/keldra-fenno.cfg");
}

TEST(CollectConfigFiles, CopiesUnderTheConfigFileName) {
  TempDir tmp;
  ASSERT_EQ(::mkdir((tmp / "etc").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tmp / "out").c_str(), 0700), 0);
  write_text(tmp / "etc/keldra-oskel.cfg", "{}", 0640);
  ASSERT_TRUE(collect_config_files(tmp / "etc/keldra-oskel.cfg", tmp / "out"));
  EXPECT_EQ(read_text(tmp / "out/keldra-oskel.cfg"), "{}");
  EXPECT_EQ(mode_of(tmp / "out/keldra-oskel.cfg"), S_IFREG | 0640);

  const auto missing = collect_config_files(tmp / "etc/other.cfg", tmp / "out");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace common::collectors
