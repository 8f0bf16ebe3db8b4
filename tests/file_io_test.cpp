#include "common/file_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "common/process.h"
#include "tests/test_util.h"

namespace common {
namespace {

TEST(ReadChunks, StopsAtTheLimitAndAtTheFirstSinkError) {
  tu::TempDir tmp;
  tu::write_text(tmp / "f", std::string(1000, 'a'));
  UniqueFd fd(::open((tmp / "f").c_str(), O_RDONLY | O_CLOEXEC));
  char buffer[64];
  std::string seen;
  const auto collect = [&](std::string_view chunk) -> Result<> {
    EXPECT_LE(chunk.size(), sizeof buffer);
    seen += chunk;
    return {};
  };
  auto read = read_chunks(fd.get(), buffer, 100, collect);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, 100u);
  EXPECT_EQ(seen, std::string(100, 'a'));
  read = read_chunks(fd.get(), buffer, UINT64_MAX, collect);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, 900u);

  ::lseek(fd.get(), 0, SEEK_SET);
  read = read_chunks(fd.get(), buffer, UINT64_MAX,
                     [](std::string_view) { return Result<>(os_error(ENOSPC)); });
  EXPECT_EQ(tu::ok_or_error(read), "No space left on device (os error 28)");
}

// A FIFO (a /etc/system-release made one) is read without end only while its writer writes:
// one that never writes ends in ETIMEDOUT after the wait, and one that pauses, each time for less
// than the wait, is read whole however long it takes in all.
TEST(ReadChunks, WaitsForAQuietWriterOnlySoLongWithoutAByte) {
  using namespace std::chrono_literals;
  const tu::ScopedValue wait(detail::read_wait, 1000ms);
  const struct {
    const char* name;
    int bytes;  // written one at a time, each after a pause of a tenth of the wait
    std::string expected;
  } cases[] = {
      {"never writes", 0, "Connection timed out (os error 110)"},
      {"pauses shorter than the wait", 15, std::string(15, 'x')},
  };
  for (const auto& c : cases) {
    tu::TempDir tmp;
    tu::make_fifo(tmp / "fifo");
    auto read_end = open_for_reading(tmp / "fifo");
    ASSERT_TRUE(read_end) << c.name;
    UniqueFd write_end(::open((tmp / "fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(write_end.valid()) << c.name;
    // The writer holds its end open until the read has returned, or gives up on a read that
    // does not give up itself: the end of file it then sees is the wrong answer, not a hang.
    std::atomic<bool> read_returned = false;
    std::thread writer([&] {
      for (int i = 0; i < c.bytes; ++i) {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(::write(write_end.get(), "x", 1), 1);
      }
      for (int i = 0; i < 300 && !read_returned; ++i) std::this_thread::sleep_for(10ms);
      (void)write_end.close();
    });
    std::string seen;
    char buffer[16];
    const auto read = read_chunks(read_end->get(), buffer, c.bytes == 0 ? 1 : c.bytes,
                                  [&](std::string_view chunk) -> Result<> {
                                    seen += chunk;
                                    return {};
                                  });
    read_returned = true;
    writer.join();
    EXPECT_EQ(read ? seen : read.error().text(), c.expected) << c.name;
  }
}

TEST(ReadAll, BoundedWholeFileRead) {
  const auto read_file = [](const std::string& path, std::size_t max_size) -> Result<std::string> {
    auto fd = open_for_reading(path);
    if (!fd) return std::unexpected(fd.error());
    return read_all(fd->get(), max_size);
  };
  tu::TempDir tmp;
  tu::write_text(tmp / "f", "12345");
  EXPECT_EQ(read_file(tmp / "f", 5).value(), "12345");
  EXPECT_EQ(tu::ok_or_error(read_file(tmp / "f", 4)), "File too large (os error 27)");
  // An endless device ends in the same error, not in memory exhaustion.
  EXPECT_EQ(tu::ok_or_error(read_file("/dev/zero", kWholeFileLimit)),
            "File too large (os error 27)");
  EXPECT_EQ(tu::ok_or_error(read_file(tmp / "missing", 5)),
            "No such file or directory (os error 2)");
}

TEST(ReadPrefix, ReadsNoFurtherThanTheLimit) {
  UniqueFd fd(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  const auto prefix = read_prefix(fd.get(), 100000);
  ASSERT_TRUE(prefix);
  EXPECT_EQ(*prefix, std::string(100000, '\0'));
}

TEST(WriteAll, WaitsOnAFullNonBlockingDescriptorInsteadOfLosingData) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  const std::string data(1 << 20, 'z');  // far more than a pipe holds
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    while (received.size() < data.size()) {
      const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
      if (n > 0) {
        received.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        break;
      } else {
        ::usleep(1000);
      }
    }
  });
  const auto written = write_all(write_end.get(), data);
  reader.join();
  ASSERT_TRUE(written);
  EXPECT_EQ(received.size(), data.size());
}

// An interrupt taken by another thread while write_all waits on a full descriptor still ends
// the wait: the poll watches the interrupt descriptor, not only for EINTR.
TEST(WriteAll, InterruptEndsTheWaitOnAFullNonBlockingDescriptor) {
  EXPECT_EQ(tu::in_child([]() -> std::string {
              prepare_process();
              ::alarm(5);  // a wait that misses the interrupt ends here, by SIGALRM
              int fds[2];
              if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return "pipe2 failed";
              const UniqueFd read_end(fds[0]);  // never read: the pipe stays full
              const UniqueFd write_end(fds[1]);
              sigset_t interrupt;
              sigemptyset(&interrupt);
              sigaddset(&interrupt, SIGINT);
              ::pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
              std::thread signaller([&] {
                ::pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                ::kill(::getpid(), SIGINT);  // taken by this thread, the only one that may
              });
              const auto written = write_all(write_end.get(), std::string(1 << 20, 'z'));
              signaller.join();
              return tu::ok_or_error(written);
            }),
            "Interrupted");
}

}  // namespace
}  // namespace common
