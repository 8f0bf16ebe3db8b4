#include "common/progress.h"

#include <gtest/gtest.h>

namespace common {
namespace {

using std::chrono::milliseconds;

// What a line sends to its output, gathered in `written`.
ProgressLine::Output capture(std::string& written) {
  return [&written](std::string_view text) { written += text; };
}

TEST(ProgressLine, ShownAfterASecondAtMostFourTimesASecondAndErased) {
  std::string written;
  ProgressLine line("Archiving oskel-data", true, capture(written));
  const auto start = ProgressLine::Clock::now();
  line.update(5 << 20, start + milliseconds(500));
  EXPECT_EQ(written, "");
  line.update(812 << 20, start + milliseconds(1000));
  EXPECT_EQ(written, "\r\x1b[KArchiving oskel-data: 812 MiB");
  line.update(900 << 20, start + milliseconds(1100));  // too soon
  line.update(1000u << 20, start + milliseconds(1300));
  EXPECT_EQ(written, "\r\x1b[KArchiving oskel-data: 812 MiB\r\x1b[KArchiving oskel-data: 1000 MiB");
  line.erase();
  line.erase();  // once only
  EXPECT_TRUE(written.ends_with(" MiB\r\x1b[K"));
}

TEST(ProgressLine, NothingWhenDisabledOrNeverShown) {
  std::string written;
  ProgressLine disabled("Archiving oskel-data", false, capture(written));
  disabled.update(1 << 30, ProgressLine::Clock::now() + std::chrono::seconds(10));
  disabled.erase();
  EXPECT_EQ(written, "");
  ProgressLine quick("Archiving oskel-data", true, capture(written));
  quick.update(1 << 30);
  quick.erase();
  EXPECT_EQ(written, "");
}

}  // namespace
}  // namespace common
