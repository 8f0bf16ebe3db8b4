#include "common/archive/sparse_map.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace common::archive
