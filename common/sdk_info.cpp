#include "common/sdk_info.h"

#include <cstdlib>
#include <exception>
#include <string>
#include <variant>

#include "common/archive/archive.h"
#include "common/collectors/config_files.h"
#include "common/collectors/log_files.h"
#include "common/collectors/os_info.h"
#include "common/collectors/package_details.h"
#include "common/command_line.h"
#include "common/console.h"
#include "common/output_dir.h"
#include "common/process.h"
#include "common/progress.h"
#include "common/remove_tree.h"

namespace common {

namespace {

void report_failure(const std::string& what, const Result<>& outcome) {
  if (!outcome) print_err(what + ", skipping. " + outcome.error().text() + "\n");
}

// Runs one stage. Stages report failures as values, but an exception (memory exhausted on a
// host in trouble, say) must not end the run and lose what the other stages collected: it
// becomes this stage's failure, and the run goes on.
template <class Stage>
auto guarded(Stage&& stage) -> decltype(stage()) {
  try {
    return stage();
  } catch (const std::exception& error) {
    return fail(ErrorKind::kOther, error.what());
  } catch (...) {
    return fail(ErrorKind::kOther, "unknown error");
  }
}

}  // namespace

void create_sdk_info(Component component, std::span<const char* const> arguments) {
  prepare_process();
  const ComponentRow& row = component_row(component);

  const CommandLineOutcome command_line = parse_command_line(arguments);
  if (const auto* exit = std::get_if<CommandLineExit>(&command_line)) {
    print_out(exit->stdout_text);
    print_err(exit->stderr_text);
    std::exit(exit->status);
  }

  const auto output_dir = create_output_dir(row.data_dir_name);
  if (!output_dir) {
    print_err(output_dir.error().display() + "\n");
    std::exit(1);
  }

  print_out("Collecting os info\n");
  report_failure("Failed to get os info",
                 guarded([&] { return collectors::collect_os_info(*output_dir); }));

  const std::string config_path = collectors::config_file_path(row.config_file_name);
  const std::string short_name(row.short_name);
  print_out("Collecting config files\n");
  report_failure("Failed to get " + short_name + " config files", guarded([&] {
                   return collectors::collect_config_files(config_path, *output_dir);
                 }));

  print_out("Collecting log files\n");
  report_failure("Failed to get " + short_name + " logs",
                 guarded([&] { return collectors::collect_log_files(config_path, *output_dir); }));

  print_out("Collecting " + short_name + " info\n");
  report_failure("Failed to get " + short_name + " package details", guarded([&] {
                   return collectors::collect_package_details(*output_dir, row.short_name,
                                                              row.package_name);
                 }));

  ProgressLine progress("Archiving " + std::string(row.data_dir_name), terminal_shows_progress());
  const auto archive = guarded([&] {
    return archive::archive_output_directory(*output_dir, row.data_dir_name,
                                             [&](std::uint64_t bytes) { progress.update(bytes); });
  });
  progress.erase();
  if (!archive) {
    print_err("Failed to archive output directory, " + *output_dir + ", skipping. " +
              archive.error().text() + "\n");
    return;
  }
  print_out("Logs and config can be found at " + *archive + "\n");
  if (!guarded([&] { return remove_tree(*output_dir); })) {
    print_err("Failed to clean up directory, " + *output_dir + "\n");
  }
}

}  // namespace common
