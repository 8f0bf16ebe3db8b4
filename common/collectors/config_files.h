// The configuration stage: the component's installed configuration file, copied into the
// output directory under its own name with its permission bits.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/output_dir.h"

namespace common::collectors {

inline constexpr std::string_view kConfigDir = "/opt/keldra/etc";

// "/opt/keldra/etc" joined with the file name. Touches nothing.
std::string config_file_path(std::string_view config_file_name);

Result<> collect_config_files(const std::string& config_path, const OutputDir& output_dir);

}  // namespace common::collectors
