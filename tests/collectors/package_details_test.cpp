#include "common/collectors/package_details.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::collectors {
namespace {

class PackageDetailsTest : public ::testing::Test {
 protected:
  PackageDetailsTest() : path_("PATH", (tmp_ / "bin:" + tu::hermetic_path()).c_str()) {
    tu::make_dir(tmp_ / "bin", 0755);
  }

  void tool(const std::string& name, const std::string& body) {
    tu::write_text(tmp_ / "bin/" + name, "#!/bin/sh\n" + body + "\n", 0755);
  }
  void os_release(const std::string& name) {
    tu::write_text(files_.os_release, "NAME=\"" + name + "\"\nVERSION_ID=\"1\"\n");
  }
  Result<> collect() {
    return collect_package_details(dir_, "oskel", "keldra-oskel", System(files_),
                                   std::chrono::seconds(5));
  }
  std::string package_file() const { return out_ + "/oskelPackageInfo.txt"; }

  tu::TempDir tmp_;
  tu::ScopedEnv path_;
  std::string out_ = tmp_ / "out";
  OutputDir dir_ = tu::make_output_dir(out_);
  SystemFiles files_{tmp_ / "os-release", tmp_ / "lsb-release"};
};

TEST_F(PackageDetailsTest, UbuntuAsksDpkgQueryAndFilters) {
  os_release("Ubuntu");
  tool("dpkg-query",
       "[ \"$*\" = --list ] || exit 9\nprintf 'hdr\\nii  keldra-oskel 1\\nii  other'");
  tool("rpm", "echo wrong tool");
  ASSERT_TRUE(collect());
  EXPECT_EQ(tu::read_text(package_file()), "ii  keldra-oskel 1\n");
}

TEST_F(PackageDetailsTest, OtherHostsAskRpmAndKeepItsOutputWhole) {
  os_release("ubuntu-like");  // the match is case-sensitive
  tool("rpm",
       "[ \"$*\" = '-qi keldra-oskel' ] || exit 9\nprintf 'package keldra-oskel is not "
       "installed\\n\\n x'\nexit 1");
  ASSERT_TRUE(collect());
  EXPECT_EQ(tu::read_text(package_file()), "package keldra-oskel is not installed\n\n x");
}

TEST_F(PackageDetailsTest, DebianFamilyAsksDpkgQueryEveryOtherHostRpm) {
  const struct {
    const char* os_release;
    bool dpkg;
  } cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nID=debian\n", true},
      {"NAME=\"Linux Mint\"\nID=linuxmint\nID_LIKE=\"ubuntu debian\"\n", true},
      {"NAME=Raspbian\nID=raspbian\nID_LIKE=debian\n", true},
      {"NAME='Pop!_OS'\nID=pop\nID_LIKE='ubuntu debian'\n", true},
      {"NAME=\"Ubuntu\"\nID=whatever\n", true},
      {"NAME=\"Rocky Linux\"\nID=\"rocky\"\nID_LIKE=\"rhel centos fedora\"\n", false},
      {"NAME=Fake\nID=debianish\nID_LIKE=\"notdebian\"\nX_ID=debian\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    tu::write_text(files_.os_release, c.os_release);
    const System system(files_);
    EXPECT_EQ(asks_dpkg_query(system, *system.long_os_version()), c.dpkg) << c.os_release;
  }
}

TEST_F(PackageDetailsTest, MissingToolFailsWithoutAFile) {
  os_release("Rocky Linux");
  const auto result = collect();
  EXPECT_EQ(tu::ok_or_error(result), "No such file or directory (os error 2)");
  EXPECT_FALSE(tu::exists(package_file()));
}

TEST_F(PackageDetailsTest, InvalidUtf8OutputFailsWithPositionAndNoFile) {
  os_release("Rocky Linux");
  const struct {
    const char* printf_arg;
    const char* error;
  } cases[] = {
      {"\\377abc", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"abc\\342\\202(x", "invalid utf-8 sequence of 2 bytes from index 3"},
      {"abcd\\360\\237\\230", "incomplete utf-8 byte sequence from index 4"},
  };
  for (const auto& c : cases) {
    tool("rpm", std::string("printf '") + c.printf_arg + "'");
    const auto result = collect();
    EXPECT_EQ(tu::ok_or_error(result), c.error) << c.error;
    EXPECT_FALSE(tu::exists(package_file()));
  }
}

TEST_F(PackageDetailsTest, HangingToolIsKilledAfterTheLimit) {
  os_release("Rocky Linux");
  tool("rpm", "sleep 60");
  const auto result = collect_package_details(dir_, "oskel", "keldra-oskel", System(files_),
                                              std::chrono::seconds(1));
  EXPECT_EQ(tu::ok_or_error(result), "rpm did not finish within 1 seconds");
  EXPECT_FALSE(tu::exists(package_file()));
}

}  // namespace
}  // namespace common::collectors
