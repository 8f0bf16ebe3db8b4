#include "common/archive/name_stack.h"

#include <cstring>

namespace common::archive {

void NameStack::push(std::string_view name) {
  const std::size_t size = name.size() + 1;
  std::uint64_t start = end_;
  // A name never straddles two blocks: one that would starts the next block.
  if (start % kBlockSize + size > capacity(start / kBlockSize)) {
    start += kBlockSize - start % kBlockSize;
  }
  const std::size_t block = start / kBlockSize;
  if (block == blocks_.size()) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(capacity(block)));
  }
  char* at = blocks_[block].get() + start % kBlockSize;
  std::memcpy(at, name.data(), name.size());
  at[name.size()] = '\0';
  starts_.push_back(start);
  end_ = start + size;
}

void NameStack::pop() {
  end_ = starts_.back();
  starts_.pop_back();
}

const char* NameStack::top() const {
  const std::uint64_t start = starts_.back();
  return blocks_[start / kBlockSize].get() + start % kBlockSize;
}

}  // namespace common::archive
