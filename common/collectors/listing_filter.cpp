#include "common/collectors/listing_filter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/file_io.h"

namespace common::collectors {

namespace {
constexpr std::size_t kFilterBlock = 64 * 1024;
}  // namespace

Result<> ListingFilter::feed(std::string_view piece) {
  while (!piece.empty()) {
    const auto newline = piece.find('\n');
    const std::string_view part = piece.substr(0, newline);
    if (!row_matches_) {
      row_matches_ =
          part.find(name_) != std::string_view::npos ||
          (!tail_.empty() &&
           (tail_ + std::string(part.substr(0, name_.size()))).find(name_) != std::string::npos);
    }
    buffer_ += part;
    if (newline == std::string_view::npos) {
      tail_ += part.substr(part.size() - std::min(part.size(), name_.size()));
      if (tail_.size() >= name_.size()) tail_.erase(0, tail_.size() + 1 - name_.size());
      return buffer_.size() >= kFilterBlock ? flush() : Result<>();
    }
    if (auto ended = end_row(); !ended) return ended;
    piece.remove_prefix(newline + 1);
  }
  return buffer_.size() >= kFilterBlock ? flush() : Result<>();
}

Result<> ListingFilter::end_row() {
  if (row_matches_) {
    buffer_ += '\n';
  } else if (row_start_in_file_ >= 0) {
    // Its start went out with an earlier block: take it back.
    if (::ftruncate(fd_, row_start_in_file_) != 0 ||
        ::lseek(fd_, row_start_in_file_, SEEK_SET) < 0) {
      return os_error(errno);
    }
    written_ = row_start_in_file_;
    buffer_.clear();
  } else {
    buffer_.resize(row_start_);
  }
  row_start_ = buffer_.size();
  row_start_in_file_ = -1;
  row_matches_ = false;
  tail_.clear();
  return {};
}

Result<> ListingFilter::flush() {
  if (auto out = write_all(fd_, buffer_); !out) return out;
  if (row_start_in_file_ < 0) row_start_in_file_ = written_ + static_cast<off_t>(row_start_);
  written_ += static_cast<off_t>(buffer_.size());
  buffer_.clear();
  row_start_ = 0;
  return {};
}

Result<> ListingFilter::finish() {
  if (auto ended = end_row(); !ended) return ended;
  return flush();
}

}  // namespace common::collectors
