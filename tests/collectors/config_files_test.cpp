#include "common/collectors/config_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::collectors {
namespace {

TEST(ConfigFilePath, IsTheFixedDirectoryAndTheFileName) {
  EXPECT_EQ(config_file_path("keldra-oskel.cfg"), "/opt/keldra/etc/keldra-oskel.cfg");
  EXPECT_EQ(config_file_path("keldra-fenno.cfg"), "/opt/keldra/etc/keldra-fenno.cfg");
}

TEST(CollectConfigFiles, CopiesUnderTheConfigFileName) {
  tu::TempDir tmp;
  tu::make_dir(tmp / "etc", 0755);
  const OutputDir out = tu::make_output_dir(tmp / "out");
  tu::write_text(tmp / "etc/keldra-oskel.cfg", "{}", 0640);
  ASSERT_TRUE(collect_config_files(tmp / "etc/keldra-oskel.cfg", out));
  EXPECT_EQ(tu::read_text(tmp / "out/keldra-oskel.cfg"), "{}");
  EXPECT_EQ(tu::mode_of(tmp / "out/keldra-oskel.cfg"), S_IFREG | 0640);

  const auto missing = collect_config_files(tmp / "etc/other.cfg", out);
  EXPECT_EQ(tu::ok_or_error(missing), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace common::collectors
