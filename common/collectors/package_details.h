// The package stage: what the host's package tool says about the component's package, saved
// as "<short name>PackageInfo.txt". Ubuntu hosts are asked with `dpkg-query --list` (the rows
// naming the package are kept), every other host with `rpm -qi <package>` (kept whole).
#pragma once

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

// The rows (pieces between "\n", the last one too) that contain `package_name`, each + "\n".
std::string filter_listing(std::string_view listing, std::string_view package_name);

}  // namespace common::collectors
