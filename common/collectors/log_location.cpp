#include "common/collectors/log_location.h"

#include <cstddef>
#include <vector>

namespace common::collectors {

Result<LogLocation> split_log_location(std::string_view location) {
  const bool absolute = location.starts_with('/');
  // Components as offsets into `location`: empty ones and "." are dropped, except a "." that
  // stands first in a relative location.
  struct Piece {
    std::size_t start;
    std::string_view text;
  };
  std::vector<Piece> pieces;
  std::size_t start = 0;
  while (start <= location.size()) {
    const auto end = std::min(location.find('/', start), location.size());
    const std::string_view piece = location.substr(start, end - start);
    const bool leading_dot = piece == "." && start == 0;
    if (!piece.empty() && (piece != "." || leading_dot)) pieces.push_back({start, piece});
    start = end + 1;
  }
  if (pieces.empty()) {
    return fail("Failed to read log file directory from config");
  }

  // The parent: everything before the last component, without trailing "/" or "." pieces,
  // but never less than the root or a leading ".".
  const Piece& last = pieces.back();
  const bool leading_dot = !absolute && pieces.front().start == 0 && pieces.front().text == ".";
  const std::size_t keep = (absolute || leading_dot) ? 1 : 0;
  std::string_view directory = location.substr(0, last.start);
  while (directory.size() > keep) {
    if (directory.ends_with('/')) {
      directory.remove_suffix(1);
    } else if (directory.ends_with("/.") && directory.size() - 1 >= keep) {
      directory.remove_suffix(1);
    } else {
      break;
    }
  }
  if (last.text == ".." || (last.text == "." && last.start == 0)) {
    return fail("Failed to read log file name from config");
  }
  return LogLocation{std::string(directory), std::string(last.text)};
}

}  // namespace common::collectors
