// The archive walk's pending names: a stack of file names packed end to end in large blocks.
// A name costs its bytes, a NUL and one 8-byte offset. Nothing is allocated per name, and
// nothing is copied as the stack grows: a string per name costs a heap block each, and one
// growing buffer would hold its old and its new copy at once while it moves, which is what
// sets the peak memory of a directory with a million entries.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace common::archive {

class NameStack {
 public:
  // `name` is a directory entry's name: at most NAME_MAX bytes, without NUL.
  void push(std::string_view name);
  void pop();
  bool empty() const { return starts_.empty(); }
  std::size_t size() const { return starts_.size(); }
  // The name pushed last, NUL-terminated; valid until the next push or pop.
  const char* top() const;

 private:
  static constexpr std::size_t kBlockSize = 1 << 20;
  // The first block is small enough to come from the heap rather than from a mapping of its
  // own: an output directory usually holds a handful of names.
  static constexpr std::size_t kFirstBlockSize = 16 << 10;
  static std::size_t capacity(std::size_t block) {
    return block == 0 ? kFirstBlockSize : kBlockSize;
  }

  std::vector<std::unique_ptr<char[]>> blocks_;  // kept once made: the stack grows again
  std::vector<std::uint64_t> starts_;            // block index * kBlockSize + offset in it
  std::uint64_t end_ = 0;                        // where the next name may start
};

}  // namespace common::archive
