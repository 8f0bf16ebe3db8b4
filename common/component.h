// The SDK components a collection run can be for, and the names each one's run uses.
#pragma once

#include <string_view>

namespace common {

enum class Component { oskel = 0, tarvo = 1, quessel = 2, fenno = 3 };

struct ComponentRow {
  std::string_view short_name;
  std::string_view data_dir_name;
  std::string_view config_file_name;
  std::string_view package_name;
};

const ComponentRow& component_row(Component component);

}  // namespace common
