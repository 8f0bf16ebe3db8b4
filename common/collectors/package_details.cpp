#include "common/collectors/package_details.h"

#include <vector>

#include "common/collectors/child_process.h"
#include "common/file_io.h"
#include "common/path.h"
#include "common/utf8.h"

namespace common::collectors {

std::string filter_listing(std::string_view listing, std::string_view package_name) {
  std::string kept;
  std::size_t start = 0;
  for (;;) {
    const auto end = listing.find('\n', start);
    const std::string_view row =
        listing.substr(start, end == std::string_view::npos ? end : end - start);
    if (row.find(package_name) != std::string_view::npos) {
      kept += row;
      kept += '\n';
    }
    if (end == std::string_view::npos) return kept;
    start = end + 1;
  }
}

Result<> collect_package_details(const std::string& output_dir, std::string_view short_name,
                                 std::string_view package_name) {
  return collect_package_details(output_dir, short_name, package_name, System(),
                                 kPackageToolTimeLimit);
}

Result<> collect_package_details(const std::string& output_dir, std::string_view short_name,
                                 std::string_view package_name, const System& system,
                                 std::chrono::seconds time_limit) {
  const std::string package_file =
      join_path(output_dir, std::string(short_name) + "PackageInfo.txt");
  const auto os_version = system.long_os_version();
  if (!os_version) return fail(ErrorKind::kNotFound, "Failed to retrieve os version");

  const bool ubuntu = os_version->find("Ubuntu") != std::string::npos;
  const std::string program = ubuntu ? "dpkg-query" : "rpm";
  const std::vector<std::string> arguments =
      ubuntu ? std::vector<std::string>{"--list"}
             : std::vector<std::string>{"-qi", std::string(package_name)};
  auto output = run_and_capture(program, arguments, time_limit);
  if (!output) return std::unexpected(output.error());
  // The tool's exit status and standard error say nothing we keep.
  const std::string& text = output->standard_output;
  if (const auto error = validate_utf8(text)) {
    return fail(ErrorKind::kOther, utf8_error_text(*error));
  }
  return write_file(package_file, ubuntu ? filter_listing(text, package_name) : text);
}

}  // namespace common::collectors
