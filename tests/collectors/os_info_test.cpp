#include "common/collectors/os_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::collectors {
namespace {

class OsInfoTest : public ::testing::Test {
 protected:
  OsInfoTest() {
    tu::write_text(tmp_ / "os-release",
                   "PRETTY_NAME=\"Debian\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
  }

  Result<> collect() { return collect_os_info(dir_, System(files_), release_); }

  std::string expected_head() const {
    struct utsname names;
    ::uname(&names);
    return std::string("Platform: linux-") + names.release +
           "\nVersion: Linux 12 Debian GNU/Linux\n";
  }

  tu::TempDir tmp_;
  std::string output_ = tmp_ / "out";
  OutputDir dir_ = tu::make_output_dir(output_);
  std::string release_ = tmp_ / "system-release";
  SystemFiles files_{tmp_ / "os-release", tmp_ / "lsb-release"};
};

TEST_F(OsInfoTest, WithoutSystemReleaseTwoLines) {
  ASSERT_TRUE(collect());
  EXPECT_EQ(tu::read_text(output_ + "/osInfo.txt"), expected_head());
}

TEST_F(OsInfoTest, SystemReleaseIsAppendedUnchanged) {
  for (const std::string release : {"", "Fedora release 39\n  second line", "Rocky 9.3\n"}) {
    tu::write_text(release_, release);
    ::unlink((output_ + "/osInfo.txt").c_str());
    ASSERT_TRUE(collect());
    EXPECT_EQ(tu::read_text(output_ + "/osInfo.txt"),
              expected_head() + "System Release: " + release + "\n");
  }
}

TEST_F(OsInfoTest, UnreadableSystemReleaseFailsAndWritesNothing) {
  tu::make_dir(release_, 0755);
  auto result = collect();
  EXPECT_EQ(tu::ok_or_error(result), "Is a directory (os error 21)");
  EXPECT_FALSE(tu::exists(output_ + "/osInfo.txt"));

  ::rmdir(release_.c_str());
  tu::write_text(release_, "Fedora \xC3(\n");
  result = collect();
  EXPECT_EQ(tu::ok_or_error(result), "stream did not contain valid UTF-8");
  EXPECT_FALSE(tu::exists(output_ + "/osInfo.txt"));
}

TEST_F(OsInfoTest, FifoSystemReleaseDoesNotHang) {
  tu::make_fifo(release_);
  ASSERT_TRUE(collect());
  EXPECT_EQ(tu::read_text(output_ + "/osInfo.txt"), expected_head() + "System Release: \n");
}

TEST_F(OsInfoTest, FifoSystemReleaseWaitsForASlowWriter) {
  tu::make_fifo(release_);
  // Opened for reading here too, so that the writer's open does not wait for the stage's and
  // its write cannot fail should the stage open the FIFO late.
  UniqueFd held(::open(release_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int fd = ::open(release_.c_str(), O_WRONLY | O_CLOEXEC);
    (void)!::write(ready[1], "", 1);
    const timespec pause{0, 100'000'000};
    ::nanosleep(&pause, nullptr);
    ::_exit(fd >= 0 && ::write(fd, "Fedora 39\n", 10) == 10 ? 0 : 1);
  }
  ::close(ready[1]);
  char byte;
  EXPECT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  const auto result = collect();
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(tu::ok_or_error(result), "ok");
  EXPECT_EQ(tu::read_text(output_ + "/osInfo.txt"),
            expected_head() + "System Release: Fedora 39\n\n");
}

// The file is always made anew: whatever already has its name is never written through.
TEST_F(OsInfoTest, NameAlreadyTakenIsTheStageError) {
  tu::make_dir(output_ + "/osInfo.txt");
  EXPECT_EQ(tu::ok_or_error(collect()), "File exists (os error 17)");
}

}  // namespace
}  // namespace common::collectors
