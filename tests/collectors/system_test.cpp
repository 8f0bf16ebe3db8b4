#include "common/collectors/system.h"

#include <sys/utsname.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::collectors {
namespace {

TEST(ReleaseField, FirstLineThatBeginsWithTheKeyQuotesRemoved) {
  const std::string content =
      "PRETTY_NAME=\"Ubuntu 22.04.4 LTS\"\nNAME=\"Ubuntu\"\r\nVERSION_ID=\"22.04\"\nNAME=Other\n";
  EXPECT_EQ(release_field(content, "NAME="), "Ubuntu");
  EXPECT_EQ(release_field(content, "VERSION_ID="), "22.04");
  EXPECT_EQ(release_field("A=\"x\"y\"\"", "A="), "xy");
  EXPECT_EQ(release_field(" NAME=x\n", "NAME="), std::nullopt);
  EXPECT_EQ(release_field("", "NAME="), std::nullopt);
}

TEST(LongOsVersion, FallsBackToLsbReleasePerPartAndKeepsBothBlanks) {
  tu::TempDir tmp;
  const SystemFiles files{tmp / "os-release", tmp / "lsb-release"};
  EXPECT_EQ(System(files).long_os_version(), "Linux  ");

  tu::write_text(files.lsb_release, "DISTRIB_ID=Ubuntu\nDISTRIB_RELEASE=20.04\n");
  EXPECT_EQ(System(files).long_os_version(), "Linux 20.04 Ubuntu");

  tu::write_text(files.os_release, "NAME=\"Rocky Linux\"\n");
  EXPECT_EQ(System(files).long_os_version(), "Linux 20.04 Rocky Linux");

  tu::write_text(files.os_release, "NAME=\"Rocky Linux\"\nVERSION_ID=\"9.3\"\n");
  EXPECT_EQ(System(files).long_os_version(), "Linux 9.3 Rocky Linux");
}

TEST(KernelVersion, IsUnameRelease) {
  struct utsname names;
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_EQ(System().kernel_version(), std::string(names.release));
}

TEST(ReleaseField, LinesThatAreNotUtf8AreSkippedNotTheFile) {
  const std::string content =
      "NAME=\"Ub\xFFuntu\"\nNAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\n"
      "BUG_REPORT_URL=\"https://caf\xE9.example/\"\n";
  EXPECT_EQ(release_field(content, "NAME="), "Ubuntu");
  EXPECT_EQ(release_field(content, "VERSION_ID="), "22.04");
  EXPECT_EQ(release_field(content, "BUG_REPORT_URL="), std::nullopt);
}

TEST(LongOsVersion, StrayByteElsewhereKeepsTheDistribution) {
  tu::TempDir tmp;
  const SystemFiles files{tmp / "os-release", tmp / "lsb-release"};
  tu::write_text(
      files.os_release,
      "NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\nBUG_REPORT_URL=\"https://caf\xE9.example/\"\n");
  tu::write_text(files.lsb_release, "DISTRIB_ID=Other\nDISTRIB_RELEASE=1\n");
  EXPECT_EQ(System(files).long_os_version(), "Linux 22.04 Ubuntu");

  tu::write_text(files.os_release, "NAME=\"Rocky\xFF\"\n");
  tu::write_text(files.lsb_release, "DISTRIB_ID=Ubuntu\n\xFE\nDISTRIB_RELEASE=20.04\n");
  EXPECT_EQ(System(files).long_os_version(), "Linux 20.04 Ubuntu");
}

TEST(LongOsVersion, OnlyTheFirstMebibyteIsLookedAt) {
  tu::TempDir tmp;
  const SystemFiles files{tmp / "os-release", tmp / "lsb-release"};
  const std::string filler(kReleaseScanLimit - 20, '#');
  // NAME= ends within the limit; VERSION_ID= starts within it but ends beyond.
  tu::write_text(files.os_release, filler + "\nNAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\n");
  EXPECT_EQ(System(files).long_os_version(), "Linux  Ubuntu");

  // An endless source is looked at up to the limit, no further.
  EXPECT_EQ(System(SystemFiles{"/dev/zero", tmp / "lsb-release"}).long_os_version(), "Linux  ");
}

}  // namespace
}  // namespace common::collectors
