#include "common/collectors/os_info.h"

#include <cerrno>

#include "common/copy_file.h"
#include "common/file_io.h"
#include "common/utf8.h"

namespace common::collectors {

Result<> collect_os_info(const OutputDir& output_dir) {
  return collect_os_info(output_dir, System(), kSystemReleasePath);
}

Result<> collect_os_info(const OutputDir& output_dir, const System& system,
                         const std::string& system_release_path) {
  const auto kernel = system.kernel_version();
  if (!kernel) return fail("Failed to retrieve kernel version");
  const auto os_version = required_os_version(system);
  if (!os_version) return std::unexpected(os_version.error());

  std::string text = "Platform: linux-" + *kernel + "\n" + "Version: " + *os_version + "\n";

  // A release file that cannot be opened is simply left out; one that opens but cannot be
  // read as text fails the stage. Opening never waits on a FIFO.
  if (auto release = open_for_reading(system_release_path)) {
    auto content = read_all(release->get(), kWholeFileLimit);
    if (!content) return std::unexpected(content.error());
    if (validate_utf8(*content)) return fail(kInvalidUtf8Stream);
    text += "System Release: " + *content + "\n";
  }
  return write_file(output_dir.fd(), kOsInfoFileName, text);
}

}  // namespace common::collectors
