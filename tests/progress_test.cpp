#include "common/progress.h"

#include <gtest/gtest.h>

namespace common {
namespace {

using std::chrono::milliseconds;

TEST(ProgressLine, ShownAfterASecondAtMostFourTimesASecondAndErased) {
  ProgressLine line("Archiving oskel-data", true);
  const auto start = ProgressLine::Clock::now();
  line.update(5 << 20, start + milliseconds(500));
  EXPECT_EQ(line.written(), "");
  line.update(812 << 20, start + milliseconds(1000));
  EXPECT_EQ(line.written(), "\r\x1b[KArchiving oskel-data: 812 MiB");
  line.update(900 << 20, start + milliseconds(1100));  // too soon
  line.update(1000u << 20, start + milliseconds(1300));
  EXPECT_EQ(line.written(),
            "\r\x1b[KArchiving oskel-data: 812 MiB\r\x1b[KArchiving oskel-data: 1000 MiB");
  line.erase();
  line.erase();  // once only
  EXPECT_TRUE(line.written().ends_with(" MiB\r\x1b[K"));
}

TEST(ProgressLine, NothingWhenDisabledOrNeverShown) {
  ProgressLine disabled("Archiving oskel-data", false);
  disabled.update(1 << 30, ProgressLine::Clock::now() + std::chrono::seconds(10));
  disabled.erase();
  EXPECT_EQ(disabled.written(), "");
  ProgressLine quick("Archiving oskel-data", true);
  quick.update(1 << 30);
  quick.erase();
  EXPECT_EQ(quick.written(), "");
}

}  // namespace
}  // namespace common
