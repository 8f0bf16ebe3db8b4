// The component's installed configuration file, and the regular-file copy that the
// configuration and log stages share.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace common::collectors {

inline constexpr std::string_view kConfigDir = "/opt/keldra/etc";

// "/opt/keldra/etc" joined with the file name. Touches nothing.
std::string config_file_path(std::string_view config_file_name);

// Copies a regular file (links followed) with exactly its twelve permission bits.
Result<> copy_file(const std::string& source, const std::string& destination);

Result<> collect_config_files(const std::string& config_path, const std::string& output_dir);

}  // namespace common::collectors
