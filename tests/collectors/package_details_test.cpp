#include "common/collectors/package_details.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::collectors {
namespace {

using testing_util::exists;
using testing_util::read_text;
using testing_util::TempDir;
using testing_util::write_text;

// The listing fed through the filter into a file in pieces of `piece_size` bytes.
std::string filtered(const std::string& listing, std::size_t piece_size) {
  TempDir tmp;
  const std::string path = tmp / "rows";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ListingFilter filter(fd.get(), "keldra-oskel");
  for (std::size_t i = 0; i < listing.size(); i += piece_size) {
    EXPECT_TRUE(filter.feed(std::string_view(listing).substr(i, piece_size)));
  }
  EXPECT_TRUE(filter.finish());
  return read_text(path);
}

TEST(ListingFilter, KeepsRowsNamingThePackageEachEndedByNewlineWhateverThePieces) {
  const std::string listing =
      "Desired=Unknown/Install/Remove/Purge/Hold\n"
      "||/ Name           Version      Architecture Description\n"
      "ii  adduser        3.134        all          add and remove users\n"
      "ii  keldra-oskel   2.1.0        amd64        Keldra oskel agent\n"
      "ii  keldra-oskel-extras 2.1.0   amd64        extras\r\n"
      "ii  zlib1g         1:1.2.13     amd64        " +
      std::string(200, 'z') +
      "\n"
      "ii  keldra-oskel-doc 2.1.0      all          docs";
  const std::string kept =
      "ii  keldra-oskel   2.1.0        amd64        Keldra oskel agent\n"
      "ii  keldra-oskel-extras 2.1.0   amd64        extras\r\n"
      "ii  keldra-oskel-doc 2.1.0      all          docs\n";
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{5}, std::size_t{64}, listing.size()}) {
    EXPECT_EQ(filtered(listing, piece), kept) << piece;
  }
  // Rows longer than the filter's blocks: the start of one that does not match is taken back.
  const std::string row(70000, 'y');
  const std::string long_rows = "x" + row + "\nkeldra-oskel a\n" + row + "keldra-oskel\n" + row;
  for (const std::size_t piece : {std::size_t{4096}, long_rows.size()}) {
    EXPECT_EQ(filtered(long_rows, piece), "keldra-oskel a\n" + row + "keldra-oskel\n") << piece;
  }
  EXPECT_EQ(filtered("a\nb\n", 1), "");
  EXPECT_EQ(filtered("KELDRA-OSKEL\nkeldra-\noskel", 3), "");
}

class PackageDetailsTest : public ::testing::Test {
 protected:
  PackageDetailsTest() : path_("PATH", (tmp_ / "bin:" + testing_util::hermetic_path()).c_str()) {
    ::mkdir((tmp_ / "bin").c_str(), 0755);
    ::mkdir(out_.c_str(), 0700);
  }

  void tool(const std::string& name, const std::string& body) {
    write_text(tmp_ / "bin/" + name, "#!/bin/sh\n" + body + "\n", 0755);
  }
  void os_release(const std::string& name) {
    write_text(files_.os_release, "NAME=\"" + name + "\"\nVERSION_ID=\"1\"\n");
  }
  Result<> collect() {
    return collect_package_details(out_, "oskel", "keldra-oskel", System(files_),
                                   std::chrono::seconds(5));
  }
  std::string package_file() const { return out_ + "/oskelPackageInfo.txt"; }

  TempDir tmp_;
  testing_util::ScopedEnv path_;
  std::string out_ = tmp_ / "out";
  SystemFiles files_{tmp_ / "os-release", tmp_ / "lsb-release"};
};

TEST_F(PackageDetailsTest, UbuntuAsksDpkgQueryAndFilters) {
  os_release("Ubuntu");
  tool("dpkg-query",
       "[ \"$*\" = --list ] || exit 9\nprintf 'hdr\\nii  keldra-oskel 1\\nii  other'");
  tool("rpm", "echo wrong tool");
  ASSERT_TRUE(collect());
  EXPECT_EQ(read_text(package_file()), "ii  keldra-oskel 1\n");
}

TEST_F(PackageDetailsTest, OtherHostsAskRpmAndKeepItsOutputWhole) {
  os_release("ubuntu-like");  // the match is case-sensitive
  tool("rpm",
       "[ \"$*\" = '-qi keldra-oskel' ] || exit 9\nprintf 'package keldra-oskel is not "
       "installed\\n\\n x'\nexit 1");
  ASSERT_TRUE(collect());
  EXPECT_EQ(read_text(package_file()), "package keldra-oskel is not installed\n\n x");
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
    write_text(files_.os_release, c.os_release);
    const System system(files_);
    EXPECT_EQ(asks_dpkg_query(system, *system.long_os_version()), c.dpkg) << c.os_release;
  }
}

TEST_F(PackageDetailsTest, MissingToolFailsWithoutAFile) {
  if (testing_util::emulated()) GTEST_SKIP() << testing_util::kEmulatedSpawn;
  os_release("Rocky Linux");
  const auto result = collect();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "No such file or directory (os error 2)");
  EXPECT_FALSE(exists(package_file()));
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
    ASSERT_FALSE(result) << c.error;
    EXPECT_EQ(result.error().text(), c.error);
    EXPECT_FALSE(exists(package_file()));
  }
}

TEST_F(PackageDetailsTest, HangingToolIsKilledAfterTheLimit) {
  os_release("Rocky Linux");
  tool("rpm", "sleep 60");
  const auto result = collect_package_details(out_, "oskel", "keldra-oskel", System(files_),
                                              std::chrono::seconds(1));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "rpm did not finish within 1 seconds");
  EXPECT_FALSE(exists(package_file()));
}

}  // namespace
}  // namespace common::collectors
