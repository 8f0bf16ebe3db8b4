#include "common/path.h"

namespace common {

std::string join_path(std::string_view base, std::string_view part) {
  if (part.starts_with('/')) return std::string(part);
  std::string joined(base);
  if (!joined.empty() && !joined.ends_with('/')) joined += '/';
  joined += part;
  return joined;
}

std::string_view base_name(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view parent_dir(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace common
