#include "common/copy_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "common/path.h"
#include "tests/test_util.h"

namespace common {
namespace {

// The copy into the descriptor of the destination's directory, as the stages make it, with no
// file written past `bound` (a copy that writes without end fails instead of filling the disk).
Result<> copy_to(const std::string& source, const std::string& destination,
                 rlim_t bound = 16 << 20) {
  const UniqueFd dir(
      ::open(std::string(parent_dir(destination)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const tu::ScopedFileSizeLimit limit(bound);
  return copy_file(source, dir.get(), std::string(base_name(destination)));
}

TEST(CopyFile, CopiesBytesAndExactPermissionBitsWhateverTheUmask) {
  tu::TempDir tmp;
  std::string content(300 * 1024, 'x');
  content += "tail";
  tu::write_text(tmp / "src", content, 0644);
  tu::ScopedUmask umask(077);
  ASSERT_TRUE(copy_to(tmp / "src", tmp / "dst"));
  EXPECT_EQ(tu::read_text(tmp / "dst"), content);
  EXPECT_EQ(tu::mode_of(tmp / "dst"), S_IFREG | 0644);

  // The sticky bit travels too, set-user-ID and set-group-ID never.
  ASSERT_EQ(::unlink((tmp / "dst").c_str()), 0);
  tu::write_text(tmp / "src", "short", 0640);
  ASSERT_EQ(::chmod((tmp / "src").c_str(), 07750), 0);
  ASSERT_TRUE(copy_to(tmp / "src", tmp / "dst"));
  EXPECT_EQ(tu::read_text(tmp / "dst"), "short");
  EXPECT_EQ(tu::mode_of(tmp / "dst"), S_IFREG | 01750);
}

TEST(CopyFile, LinkToRegularFileIsCopiedAsTheFile) {
  tu::TempDir tmp;
  tu::write_text(tmp / "target", "{\"a\": 1}", 0600);
  tu::make_symlink(tmp / "target", tmp / "link");
  ASSERT_TRUE(copy_to(tmp / "link", tmp / "dst"));
  EXPECT_EQ(tu::mode_of(tmp / "dst"), S_IFREG | 0600);
  EXPECT_EQ(tu::read_text(tmp / "dst"), "{\"a\": 1}");
}

// The destination is created anew in its directory, never through what is found there.
TEST(CopyFile, LinkAtTheDestinationIsNotFollowed) {
  tu::TempDir tmp;
  tu::write_text(tmp / "src", "new");
  tu::write_text(tmp / "victim", "precious");
  tu::make_symlink(tmp / "victim", tmp / "dst");
  EXPECT_EQ(tu::ok_or_error(copy_to(tmp / "src", tmp / "dst")), "File exists (os error 17)");
  EXPECT_EQ(tu::read_text(tmp / "victim"), "precious");
}

TEST(CopyFile, EmptyFileGivesEmptyCopy) {
  tu::TempDir tmp;
  tu::write_text(tmp / "src", "");
  ASSERT_TRUE(copy_to(tmp / "src", tmp / "dst"));
  EXPECT_EQ(tu::read_text(tmp / "dst"), "");
}

TEST(CopyFile, SourcesThatAreNotRegularFilesCreateNothing) {
  tu::TempDir tmp;
  tu::make_dir(tmp / "dir");
  tu::make_fifo(tmp / "fifo");
  tu::make_symlink(tmp / "nowhere", tmp / "dangling");
  const UniqueFd socket(tu::make_socket(tmp / "sock"));

  tu::make_symlink("/dev/null", tmp / "device");
  const std::string pseudo = "the source path is on a kernel pseudo file system (";

  const struct {
    std::string source;
    std::string error;
  } cases[] = {
      {tmp / "dir", access::kNotRegularFile},
      {tmp / "fifo", access::kNotRegularFile},  // must not wait for a writer
      {tmp / "device", access::kNotRegularFile},
      {tmp / "sock", "No such device or address (os error 6)"},
      {tmp / "dangling", "No such file or directory (os error 2)"},
      {tmp / "missing", "No such file or directory (os error 2)"},
      {"/proc/self/status", pseudo + "procfs)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tu::ok_or_error(copy_to(c.source, tmp / "dst")), c.error) << c.source;
    EXPECT_FALSE(tu::exists(tmp / "dst")) << c.source;
  }
}

blkcnt_t blocks_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_blocks : -1;
}

// The copy takes no more space than the source: its holes stay holes, its bytes are the same.
TEST(CopyFile, HolesStayHoles) {
  constexpr off_t kMiB = 1 << 20;
  const std::string data(200000, 'd');
  const struct {
    const char* name;
    off_t size;
    std::vector<std::pair<off_t, std::string>> data;
  } cases[] = {
      {"all hole", 8 * kMiB, {}},
      {"hole at the start", 8 * kMiB + 7, {{8 * kMiB, "a line\n"}}},
      {"hole at the end", 8 * kMiB, {{0, data}}},
      {"holes between", 9 * kMiB, {{0, "head"}, {4 * kMiB + 1, data}, {9 * kMiB - 3, "end"}}},
      {"data only", off_t(data.size()), {{0, data}}},
  };
  for (const auto& c : cases) {
    tu::TempDir tmp;
    tu::write_text(tmp / "src", "");
    ASSERT_EQ(::truncate((tmp / "src").c_str(), c.size), 0);
    const int fd = ::open((tmp / "src").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const auto& [at, bytes] : c.data)
      ASSERT_GT(::pwrite(fd, bytes.data(), bytes.size(), at), 0);
    ::close(fd);
    ASSERT_TRUE(copy_to(tmp / "src", tmp / "dst")) << c.name;
    EXPECT_TRUE(tu::read_text(tmp / "dst") == tu::read_text(tmp / "src")) << c.name;
    EXPECT_LE(blocks_of(tmp / "dst"), blocks_of(tmp / "src")) << c.name;
  }
}

// What the copy's kernel call does in the test below.
std::function<ssize_t(int in, int out, std::size_t length)> kernel_call;
ssize_t fake_copy_file_range(int in, off_t*, int out, off_t*, std::size_t length, unsigned) {
  return kernel_call(in, out, length);
}

// The copy ends at the size the source had when opened, or where the source ends now if it shrank
// (into its data or into a hole), whatever the kernel call does: where it refuses, copies
// nothing at once (procfs on older kernels) or fails after bytes have moved, read/write carries
// the copy on; another error at once is the copy's.
TEST(CopyFile, CopiesTheFileAsItStoodWhenOpenedWhateverTheKernelCallDoes) {
  tu::TempDir tmp;
  const std::string src = tmp / "src";
  std::string content;
  for (int i = 0; i < 5000; ++i) content += std::to_string(i) + "\n";
  // Up to a block boundary: a data region ends at one, so the first is exactly the content.
  content.resize(64 << 10, '\n');
  int calls = 0;
  const auto real = [](int in, int out, std::size_t n) {
    return ::copy_file_range(in, nullptr, out, nullptr, n, 0);
  };
  const auto fail_with = [](int error) {
    errno = error;
    return ssize_t(-1);
  };
  const struct {
    const char* name;
    std::function<ssize_t(int, int, std::size_t)> call;
    std::string expected;
    bool line_past_a_hole = false;  // the source has one more line 4 MiB in
  } cases[] = {
      {"grows",
       [&](int in, int out, std::size_t n) {
         if (calls++ == 0) tu::write_text(src, content + "more\n");
         return real(in, out, n);
       },
       content},
      {"shrinks",
       [&](int in, int out, std::size_t n) {
         if (calls++ == 0) {
           EXPECT_EQ(::truncate(src.c_str(), 1000), 0);
         }
         return real(in, out, n);
       },
       content.substr(0, 1000)},
      {"shrinks into the hole past the data",
       [&](int in, int out, std::size_t n) {
         if (calls++ == 0) {
           EXPECT_EQ(::truncate(src.c_str(), 1 << 20), 0);
         }
         return real(in, out, n);
       },
       content + std::string((1 << 20) - content.size(), '\0'), true},
      // copytruncate: emptied once its first region has been copied.
      {"emptied after its first region",
       [&](int in, int out, std::size_t n) {
         const ssize_t copied = real(in, out, n);
         if (calls++ == 0) {
           EXPECT_EQ(::truncate(src.c_str(), 0), 0);
         }
         return copied;
       },
       content, true},
      {"refuses", [&](int, int, std::size_t) { return fail_with(EXDEV); }, content},
      {"copies nothing", [](int, int, std::size_t) { return ssize_t(0); }, content},
      {"fails part-way",
       [&](int in, int out, std::size_t) {
         return calls++ == 0 ? real(in, out, 4096) : fail_with(EIO);
       },
       content},
      {"fails at once", [&](int, int, std::size_t) { return fail_with(EIO); },
       "Input/output error (os error 5)"},
  };
  const tu::ScopedValue seam(detail::copy_file_range_call, &fake_copy_file_range);
  for (const auto& c : cases) {
    tu::write_text(src, content);
    if (c.line_past_a_hole) {
      const UniqueFd fd(::open(src.c_str(), O_WRONLY | O_CLOEXEC));
      ASSERT_EQ(::pwrite(fd.get(), "line\n", 5, 4 << 20), 5);
    }
    calls = 0;
    kernel_call = c.call;
    ::unlink((tmp / "dst").c_str());
    const auto copied = copy_to(src, tmp / "dst");
    EXPECT_EQ(copied ? tu::read_text(tmp / "dst") : copied.error().text(), c.expected) << c.name;
  }
}

// A file empty when opened may have no size the kernel knows (procfs): it is read to its end,
// but a writer that never stops (here 1 MiB before each call, for 40 calls) is cut.
TEST(CopyFile, FileEmptyWhenOpenedIsCopiedUpToTheWholeFileLimit) {
  tu::TempDir tmp;
  tu::write_text(tmp / "src", "");
  const std::string mib(1 << 20, 'w');
  int calls = 0;
  kernel_call = [&](int in, int out, std::size_t n) {
    if (calls++ == 40) return ssize_t(0);
    const int fd = ::open((tmp / "src").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const bool appended = fd >= 0 && ::write(fd, mib.data(), mib.size()) == ssize_t(mib.size());
    if (fd >= 0) ::close(fd);
    return appended ? ::copy_file_range(in, nullptr, out, nullptr, n, 0) : ssize_t(-1);
  };
  const tu::ScopedValue seam(detail::copy_file_range_call, &fake_copy_file_range);
  const auto copied = copy_to(tmp / "src", tmp / "dst", 48 << 20);  // the source's 40 MiB
  EXPECT_EQ(tu::ok_or_error(copied), "ok");
  EXPECT_EQ(tu::read_text(tmp / "dst").size(), kWholeFileLimit);
}

// A child that throws or is killed is reported, and never runs the rest of the suite.
TEST(InChild, FailuresOfTheChildAreReportedToTheParent) {
  const pid_t parent = ::getpid();
  EXPECT_EQ(tu::in_child([] { return std::string(); }), "");
  EXPECT_EQ(tu::in_child([] { return std::string("said no"); }), "said no");
  EXPECT_EQ(tu::in_child([]() -> std::string { throw std::runtime_error("thrown"); }),
            "exception: thrown");
  EXPECT_EQ(tu::in_child([]() -> std::string {
              ::raise(SIGKILL);
              return "";
            }),
            "child killed by signal 9");
  EXPECT_EQ(::getpid(), parent);
}

}  // namespace
}  // namespace common
