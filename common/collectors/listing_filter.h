// The row filter of a package listing: of what `dpkg-query --list` prints, only the rows that
// name the package are kept, written to a file as the listing arrives.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/error.h"

namespace common::collectors {

// Writes to `fd` (at its start, which it owns) the rows of a listing that arrives in pieces:
// the pieces between "\n", the last one too, that contain `package_name`, each + "\n". Output
// is gathered and written in large blocks. A row longer than a block is judged once it ends:
// until then its start is written and taken back if it does not match, so a row of any length
// costs no more memory than a block.
class ListingFilter {
 public:
  ListingFilter(int fd, std::string_view package_name) : fd_(fd), name_(package_name) {}
  Result<> feed(std::string_view piece);
  Result<> finish();

 private:
  Result<> end_row();
  Result<> flush();

  int fd_;
  std::string name_;
  std::string buffer_;            // what is not written yet: kept rows, then the row being read
  std::size_t row_start_ = 0;     // where the row being read starts in `buffer_`
  off_t written_ = 0;             // the file's length
  off_t row_start_in_file_ = -1;  // where the row being read starts in the file, once written
  bool row_matches_ = false;
  std::string tail_;  // the row's last bytes, for a name split between two pieces
};

}  // namespace common::collectors
