// Where a file's data lies, as a sparse member's map gives it, in bounded memory.
//
// A map is a list of data regions; the holes between them are not stored. A file may have
// more data regions than a map may hold (a log written one page every few kilobytes, or on
// purpose): the map then keeps the largest holes as holes and merges the smallest into the
// data around them, stored as zeros, until it fits. The file is scanned once, and only the
// holes kept so far are held, so a file of a million regions costs no more than the map's cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.h"
#include "common/file_io.h"

namespace common::archive {

// The largest holes of a file, fed in file order. Of holes of the same length, the earlier
// are kept: the choice depends on the file alone.
class LargestHoles {
 public:
  explicit LargestHoles(std::size_t max_holes) : max_holes_(max_holes) {}

  void add(DataRegion hole);
  // The data regions of a file of `size` bytes that has holes where the kept ones are, in
  // order: the merged holes lie inside them.
  std::vector<DataRegion> data_regions(std::uint64_t size) const;

 private:
  std::size_t max_holes_;
  std::vector<DataRegion> holes_;  // a heap, the hole to give up first on top
};

struct SparseMap {
  std::vector<DataRegion> regions;  // what the member stores, in order, not touching
  std::uint64_t holes = 0;          // bytes of the file's holes, merged or not
  std::uint64_t merged = 0;         // bytes of holes inside `regions`, stored as zeros
};

// The map of the first `size` bytes of `fd` as they are now, of at most `max_entries` entries:
// the data regions and, for a file that ends in a hole, the last empty entry at its end.
// `max_entries` is at least 1.
Result<SparseMap> map_data_regions(int fd, std::uint64_t size, std::size_t max_entries);

}  // namespace common::archive
