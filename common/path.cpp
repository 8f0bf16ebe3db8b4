#include "common/path.h"

namespace common {

std::string join_path(std::string_view base, std::string_view part) {
  if (part.starts_with('/')) return std::string(part);
  std::string joined(base);
  if (!joined.empty() && !joined.ends_with('/')) joined += '/';
  joined += part;
  return joined;
}

}  // namespace common
