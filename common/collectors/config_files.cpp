#include "common/collectors/config_files.h"

#include "common/copy_file.h"
#include "common/path.h"

namespace common::collectors {

std::string config_file_path(std::string_view config_file_name) {
  return join_path(kConfigDir, config_file_name);
}

Result<> collect_config_files(const std::string& config_path, const OutputDir& output_dir) {
  return copy_file(config_path, output_dir.fd(), std::string(base_name(config_path)));
}

}  // namespace common::collectors
