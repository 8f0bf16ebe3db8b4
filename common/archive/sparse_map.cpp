#include "common/archive/sparse_map.h"

#include <algorithm>

namespace common::archive {

namespace {

std::uint64_t length(DataRegion region) { return region.end - region.start; }

// Whether `a` stays a hole sooner than `b`. As a heap's order, it puts the hole to give up
// first on top.
bool kept_before(DataRegion a, DataRegion b) {
  return length(a) > length(b) || (length(a) == length(b) && a.start < b.start);
}

}  // namespace

void LargestHoles::add(DataRegion hole) {
  if (max_holes_ == 0) return;
  if (holes_.size() == max_holes_) {
    if (!kept_before(hole, holes_.front())) return;
    std::pop_heap(holes_.begin(), holes_.end(), kept_before);
    holes_.pop_back();
  }
  holes_.push_back(hole);
  std::push_heap(holes_.begin(), holes_.end(), kept_before);
}

std::vector<DataRegion> LargestHoles::data_regions(std::uint64_t size) const {
  std::vector<DataRegion> holes = holes_;
  std::sort(holes.begin(), holes.end(),
            [](DataRegion a, DataRegion b) { return a.start < b.start; });
  std::vector<DataRegion> regions;
  std::uint64_t offset = 0;
  for (const DataRegion& hole : holes) {
    if (hole.start > offset) regions.push_back({offset, hole.start});
    offset = hole.end;
  }
  if (offset < size) regions.push_back({offset, size});
  return regions;
}

Result<SparseMap> map_data_regions(int fd, std::uint64_t size, std::size_t max_entries) {
  // Each hole kept adds at most one entry to the single one of a file without holes.
  LargestHoles kept(max_entries - 1);
  SparseMap map;
  const auto hole = [&](std::uint64_t start, std::uint64_t end) {
    if (start == end) return;
    kept.add({start, end});
    map.holes += end - start;
  };
  std::uint64_t offset = 0;
  while (offset < size) {
    const auto region = next_data_region(fd, offset, size);
    if (!region) return std::unexpected(region.error());
    // No data follows: a hole to the end, also past where a file that has shrunk ends now,
    // which is made up with zeros all the same.
    if (region->start == region->end) {
      hole(offset, size);
      break;
    }
    hole(offset, region->start);
    offset = region->end;
  }
  map.regions = kept.data_regions(size);
  std::uint64_t stored = 0;
  for (const DataRegion& region : map.regions) stored += length(region);
  map.merged = stored - (size - map.holes);
  return map;
}

}  // namespace common::archive
