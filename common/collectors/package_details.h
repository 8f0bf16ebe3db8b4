// The package stage: what the host's package tool says about the component's package, saved
// as "<short name>PackageInfo.txt". Debian-family hosts (Ubuntu named in the long OS version,
// or os-release's ID or ID_LIKE naming debian or ubuntu) are asked with `dpkg-query --list`,
// of which the rows naming the package are kept; every other host with `rpm -qi <package>`,
// kept whole. The output goes to the file as it arrives, so however much the tool prints, the
// run's memory stays small; output that is not UTF-8 fails the stage and leaves no file.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "common/collectors/system.h"
#include "common/error.h"
#include "common/output_dir.h"

namespace common::collectors {

// How long the package tool may run before its process group is killed.
inline constexpr std::chrono::seconds kPackageToolTimeLimit{60};

Result<> collect_package_details(const OutputDir& output_dir, std::string_view short_name,
                                 std::string_view package_name);

// The same with the host's release files and the time limit given, for tests.
Result<> collect_package_details(const OutputDir& output_dir, std::string_view short_name,
                                 std::string_view package_name, const System& system,
                                 std::chrono::seconds time_limit);

// The file the stage writes: "<short name>PackageInfo.txt".
std::string package_file_name(std::string_view short_name);

// Whether the host is asked with dpkg-query rather than rpm.
bool asks_dpkg_query(const System& system, const std::string& os_version);

}  // namespace common::collectors
