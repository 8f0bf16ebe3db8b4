#include "common/access/disk_margin.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace common::access {
namespace {

TEST(DiskMargin, WritesLeaveOnePercentOrSixtyFourMibWhicheverIsSmaller) {
  constexpr std::uint64_t kMiB = 1 << 20, kBlock = 4096;
  constexpr std::uint64_t kBlocksPerMiB = kMiB / kBlock;
  const struct {
    const char* scenario;
    std::uint64_t available, block_size, blocks, bytes;
    bool allowed;
  } cases[] = {
      // 100 MiB file system: the margin is 1 MiB.
      {"small disk, write well within", 50 * kBlocksPerMiB, kBlock, 100 * kBlocksPerMiB, kMiB,
       true},
      {"small disk, write ends exactly at the margin", 2 * kBlocksPerMiB, kBlock,
       100 * kBlocksPerMiB, kMiB, true},
      {"small disk, write one byte past the margin", 2 * kBlocksPerMiB, kBlock, 100 * kBlocksPerMiB,
       kMiB + 1, false},
      // 1 TiB file system: 1 % would be 10 GiB, the margin is 64 MiB.
      {"large disk, 64 MiB and one write left", 65 * kBlocksPerMiB, kBlock,
       1024 * 1024 * kBlocksPerMiB, kMiB, true},
      {"large disk, write into the last 64 MiB", 65 * kBlocksPerMiB, kBlock,
       1024 * 1024 * kBlocksPerMiB, kMiB + 1, false},
      {"no size reported (a pipe)", 0, kBlock, 0, kMiB, true},
      {"sizes beyond 64 bits do not wrap", ~std::uint64_t{0}, kBlock, ~std::uint64_t{0}, kMiB,
       true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(leaves_disk_margin(c.available, c.block_size, c.blocks, c.bytes), c.allowed)
        << c.scenario;
  }
}

TEST(DiskMargin, NewFilesLeaveOnePercentOfTheInodesOr65536) {
  const struct {
    const char* scenario;
    std::uint64_t available, files, inodes;
    bool allowed;
  } cases[] = {
      {"a small tmpfs, the file that reaches the margin", 31, 3000, 1, true},
      {"a small tmpfs, the file past it", 30, 3000, 1, false},
      {"a large file system keeps 65,536", 65537, 100000000, 1, true},
      {"a large file system, past them", 65536, 100000000, 1, false},
      {"no inode count (btrfs)", 0, 0, 1, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(leaves_inode_margin(c.available, c.files, c.inodes), c.allowed) << c.scenario;
  }
}

}  // namespace
}  // namespace common::access
