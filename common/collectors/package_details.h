// The package stage: what the host's package tool says about the component's package, saved
// as "<short name>PackageInfo.txt". Debian-family hosts (Ubuntu named in the long OS version,
// or os-release's ID or ID_LIKE naming debian or ubuntu) are asked with `dpkg-query --list`,
// of which the rows naming the package are kept; every other host with `rpm -qi <package>`,
// kept whole. The output goes to the file as it arrives, so however much the tool prints, the
// run's memory stays small; output that is not UTF-8 fails the stage and leaves no file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "common/collectors/system.h"
#include "common/error.h"

namespace common::collectors {

// How long the package tool may run before its process group is killed.
inline constexpr std::chrono::seconds kPackageToolTimeLimit{60};

Result<> collect_package_details(const std::string& output_dir, std::string_view short_name,
                                 std::string_view package_name);

// The same with the host's release files and the time limit given, for tests.
Result<> collect_package_details(const std::string& output_dir, std::string_view short_name,
                                 std::string_view package_name, const System& system,
                                 std::chrono::seconds time_limit);

// Whether the host is asked with dpkg-query rather than rpm.
bool asks_dpkg_query(const System& system, const std::string& os_version);

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
