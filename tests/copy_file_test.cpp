#include "common/copy_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

using testing_util::exists;
using testing_util::mode_of;
using testing_util::read_text;
using testing_util::TempDir;
using testing_util::write_text;

TEST(CopyFile, CopiesBytesAndExactPermissionBitsWhateverTheUmask) {
  TempDir tmp;
  std::string content(300 * 1024, 'x');
  content += "tail";
  write_text(tmp / "src", content, 0644);
  testing_util::ScopedUmask umask(077);
  ASSERT_TRUE(copy_file(tmp / "src", tmp / "dst"));
  EXPECT_EQ(read_text(tmp / "dst"), content);
  EXPECT_EQ(mode_of(tmp / "dst"), S_IFREG | 0644);

  // Special bits travel too, and an existing destination is truncated and re-moded.
  write_text(tmp / "src", "short", 0640);
  ::chmod((tmp / "src").c_str(), 02750);
  ASSERT_TRUE(copy_file(tmp / "src", tmp / "dst"));
  EXPECT_EQ(read_text(tmp / "dst"), "short");
  EXPECT_EQ(mode_of(tmp / "dst"), S_IFREG | 02750);
}

TEST(CopyFile, LinkToRegularFileIsCopiedAsTheFile) {
  TempDir tmp;
  write_text(tmp / "target", "{\"a\": 1}", 0600);
  ASSERT_EQ(::symlink((tmp / "target").c_str(), (tmp / "link").c_str()), 0);
  ASSERT_TRUE(copy_file(tmp / "link", tmp / "dst"));
  EXPECT_EQ(mode_of(tmp / "dst"), S_IFREG | 0600);
  EXPECT_EQ(read_text(tmp / "dst"), "{\"a\": 1}");
}

TEST(CopyFile, EmptyFileGivesEmptyCopy) {
  TempDir tmp;
  write_text(tmp / "src", "");
  ASSERT_TRUE(copy_file(tmp / "src", tmp / "dst"));
  EXPECT_EQ(read_text(tmp / "dst"), "");
}

TEST(CopyFile, SourcesThatAreNotRegularFilesCreateNothing) {
  TempDir tmp;
  ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink((tmp / "nowhere").c_str(), (tmp / "dangling").c_str()), 0);
  const int socket_fd = testing_util::make_socket(tmp / "sock");

  const struct {
    const char* name;
    std::string error;
  } cases[] = {
      {"dir", kNotRegularFile},
      {"fifo", kNotRegularFile},  // must not wait for a writer
      {"sock", "No such device or address (os error 6)"},
      {"dangling", "No such file or directory (os error 2)"},
      {"missing", "No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    const auto copied = copy_file(tmp / c.name, tmp / "dst");
    ASSERT_FALSE(copied) << c.name;
    EXPECT_EQ(copied.error().text(), c.error) << c.name;
    EXPECT_FALSE(exists(tmp / "dst")) << c.name;
  }
  ::close(socket_fd);
}

TEST(CopyFile, ProcFilesAreCopiedThoughTheyReportNoSize) {
  TempDir tmp;
  ASSERT_TRUE(copy_file("/proc/self/status", tmp / "dst"));
  EXPECT_NE(read_text(tmp / "dst").find("Name:"), std::string::npos);
}

// The kernel clears setuid and setgid on a write by an unprivileged process, so the mode must
// be set after the data. Run as an ordinary user: directly, or in a child that drops to
// nobody when the tests run as root, in a directory nobody can reach (a build tree under a
// 0700 home directory is not).
TEST(CopyFile, SpecialBitsSurviveAnUnprivilegedCopy) {
  const auto copy_in = [](const std::string& dir) -> std::string {
    write_text(dir + "/src", "data", 0640);
    if (::chmod((dir + "/src").c_str(), 02750) != 0) return "chmod of the source failed";
    const auto copied = copy_file(dir + "/src", dir + "/dst");
    if (!copied) return "copy failed: " + copied.error().text();
    return mode_of(dir + "/dst") == (S_IFREG | 02750) ? "" : "setgid lost";
  };
  if (::geteuid() != 0) {
    TempDir tmp;
    EXPECT_EQ(copy_in(tmp.path()), "");
    return;
  }
  std::string why_not;
  const std::string base = testing_util::base_reachable_by_nobody(why_not);
  if (base.empty()) GTEST_SKIP() << "no directory the user nobody can write in: " << why_not;
  TempDir tmp(base);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0777), 0);
  EXPECT_EQ(testing_util::in_child([&]() -> std::string {
              if (!testing_util::drop_to_nobody()) return "cannot drop to nobody";
              return copy_in(tmp.path());
            }),
            "")
      << "copying as nobody in " << tmp.path();
}

// A child that throws or is killed is reported, and never runs the rest of the suite.
TEST(InChild, FailuresOfTheChildAreReportedToTheParent) {
  const pid_t parent = ::getpid();
  EXPECT_EQ(testing_util::in_child([] { return std::string(); }), "");
  EXPECT_EQ(testing_util::in_child([] { return std::string("said no"); }), "said no");
  EXPECT_EQ(testing_util::in_child([]() -> std::string { throw std::runtime_error("thrown"); }),
            "exception: thrown");
  EXPECT_EQ(testing_util::in_child([]() -> std::string {
              ::raise(SIGKILL);
              return "";
            }),
            "child killed by signal 9");
  EXPECT_EQ(::getpid(), parent);
}

}  // namespace
}  // namespace common
