#include "common/archive/sparse_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common::archive {
namespace {

using Regions = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // start, end

Regions pairs(const std::vector<DataRegion>& regions) {
  Regions out;
  for (const DataRegion& region : regions) out.emplace_back(region.start, region.end);
  return out;
}

TEST(LargestHoles, KeepsTheLargestAndOfEqualOnesTheEarlier) {
  const struct {
    const char* name;
    std::size_t max_holes;
    Regions holes;  // in file order
    std::uint64_t size;
    Regions expected;
  } cases[] = {
      {"room for all", 5, {{0, 2}, {3, 5}, {6, 10}}, 12, {{2, 3}, {5, 6}, {10, 12}}},
      {"the two largest",
       2,
       {{1, 5}, {6, 7}, {8, 11}, {12, 13}, {14, 16}},
       20,
       {{0, 1}, {5, 8}, {11, 20}}},
      {"equal: the earlier", 2, {{1, 2}, {3, 4}, {5, 6}, {7, 8}}, 9, {{0, 1}, {2, 3}, {4, 9}}},
      {"a larger one late", 1, {{1, 2}, {3, 4}, {5, 9}}, 10, {{0, 5}, {9, 10}}},
      {"a hole to the end", 1, {{1, 2}, {3, 100}}, 100, {{0, 3}}},
      {"nothing but a hole", 1, {{0, 100}}, 100, {}},
      {"no hole kept", 0, {{1, 50}}, 100, {{0, 100}}},
  };
  for (const auto& c : cases) {
    LargestHoles kept(c.max_holes);
    for (const auto& [start, end] : c.holes) kept.add({start, end});
    EXPECT_EQ(pairs(kept.data_regions(c.size)), c.expected) << c.name;
  }
}

class MapDataRegionsTest : public ::testing::Test {
 protected:
  // Pages of data at these page numbers, in a file of `pages` pages.
  void make_file(const std::vector<std::uint64_t>& data_pages, std::uint64_t pages) {
    const UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    for (const std::uint64_t page : data_pages) {
      const std::string data(kPage, static_cast<char>('a' + page % 26));
      ASSERT_EQ(::pwrite(fd.get(), data.data(), kPage, static_cast<off_t>(page * kPage)), kPage);
    }
    ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(pages * kPage)), 0);
  }

  Result<SparseMap> map(std::size_t max_entries) {
    const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    return map_data_regions(fd.get(), size_, max_entries);
  }

  static constexpr std::uint64_t kPage = 4096;
  const tu::ScopedFileSizeLimit file_size_limit_{1 << 20};
  tu::TempDir tmp_;
  std::string path_ = tmp_ / "log";
  std::uint64_t size_ = 0;
};

// Holes of 1, 3, 2, 5 and 1 pages, then one of 100 to the end.
TEST_F(MapDataRegionsTest, EveryCapKeepsAllDataAndTheLargestHoles) {
  const std::vector<std::uint64_t> data = {1, 5, 8, 14, 16};
  const std::uint64_t pages = 117;
  make_file(data, pages);
  size_ = pages * kPage;
  const auto whole = map(64);
  ASSERT_TRUE(whole);
  EXPECT_EQ(pairs(whole->regions), (Regions{{kPage, 2 * kPage},
                                            {5 * kPage, 6 * kPage},
                                            {8 * kPage, 9 * kPage},
                                            {14 * kPage, 15 * kPage},
                                            {16 * kPage, 17 * kPage}}));
  EXPECT_EQ(whole->holes, (pages - data.size()) * kPage);
  EXPECT_EQ(whole->merged, 0u);

  for (std::size_t cap = 1; cap <= 7; ++cap) {
    const auto capped = map(cap);
    ASSERT_TRUE(capped) << cap;
    const auto& regions = capped->regions;
    const bool ends_in_hole = regions.empty() || regions.back().end < size_;
    EXPECT_LE(regions.size() + (ends_in_hole ? 1 : 0), cap) << cap;
    EXPECT_EQ(capped->holes, whole->holes) << cap;
    // Every page of data is stored, whatever was merged around it.
    std::uint64_t stored = 0;
    for (const DataRegion& region : regions) stored += region.end - region.start;
    EXPECT_EQ(stored, data.size() * kPage + capped->merged) << cap;
    for (const std::uint64_t page : data) {
      EXPECT_TRUE(std::any_of(regions.begin(), regions.end(),
                              [&](const DataRegion& region) {
                                return region.start <= page * kPage &&
                                       (page + 1) * kPage <= region.end;
                              }))
          << cap << " page " << page;
    }
    // The hole to the end is the largest: it is never merged while the map has two entries.
    if (cap >= 2) {
      EXPECT_EQ(regions.back().end, 17 * kPage) << cap;
    }
  }
  // Room for three entries: the holes of 100 and 5 pages stay, the others are merged, the one
  // the file begins with too.
  const auto three = map(3);
  ASSERT_TRUE(three);
  EXPECT_EQ(pairs(three->regions), (Regions{{0, 9 * kPage}, {14 * kPage, 17 * kPage}}));
  EXPECT_EQ(three->merged, 7 * kPage);
}

TEST_F(MapDataRegionsTest, FileWithoutDataIsOneHole) {
  make_file({}, 8);
  size_ = 8 * kPage;
  const auto empty = map(4);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->regions.empty());
  EXPECT_EQ(empty->holes, size_);
  EXPECT_EQ(empty->merged, 0u);
}

// The map is taken of the size given; a file that has since shrunk ends in a hole there.
TEST_F(MapDataRegionsTest, FileShrunkBelowTheSizeGivenEndsInAHole) {
  make_file({0, 2}, 3);
  size_ = 10 * kPage;
  const auto shrunk = map(8);
  ASSERT_TRUE(shrunk);
  EXPECT_EQ(pairs(shrunk->regions), (Regions{{0, kPage}, {2 * kPage, 3 * kPage}}));
  EXPECT_EQ(shrunk->holes, 8 * kPage);
}

}  // namespace
}  // namespace common::archive
