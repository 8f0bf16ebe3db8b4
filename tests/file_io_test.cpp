#include "common/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace common
