// The first collecting stage: "osInfo.txt" with the platform (kernel release), the
// distribution's long version and, where the host has one, the system release file.
#pragma once

#include <string>

#include "common/collectors/system.h"
#include "common/error.h"
#include "common/output_dir.h"

namespace common::collectors {

inline constexpr const char* kSystemReleasePath = "/etc/system-release";
inline constexpr const char* kOsInfoFileName = "osInfo.txt";

Result<> collect_os_info(const OutputDir& output_dir);

// The same with the host's files given, for tests.
Result<> collect_os_info(const OutputDir& output_dir, const System& system,
                         const std::string& system_release_path);

}  // namespace common::collectors
