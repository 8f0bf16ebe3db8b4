#include "common/archive/name_stack.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace common::archive {
namespace {

// Names of every length up to NAME_MAX, over several blocks, come back last first; names
// pushed after some were popped reuse the room without touching those below.
TEST(NameStack, GivesBackEveryNameLastFirstAcrossBlocks) {
  NameStack stack;
  std::vector<std::string> pushed;
  const auto push = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      pushed.push_back(std::to_string(i) + std::string(pushed.size() % 256, 'n'));
      pushed.back().resize(std::min<std::size_t>(pushed.back().size(), 255));
      stack.push(pushed.back());
    }
  };
  const auto pop = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(stack.size(), pushed.size());
      ASSERT_EQ(stack.top(), pushed.back());
      stack.pop();
      pushed.pop_back();
    }
  };
  push(20000);  // about 2.5 MiB of names: the small first block and three more
  pop(12000);
  push(9000);
  pop(pushed.size());
  EXPECT_TRUE(stack.empty());
}

}  // namespace
}  // namespace common::archive
