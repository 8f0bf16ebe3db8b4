#include "common/sdk_info.h"

#include <cstdlib>
#include <string>

#include "common/archive/archive.h"
#include "common/collectors/config_files.h"
#include "common/collectors/log_files.h"
#include "common/collectors/os_info.h"
#include "common/collectors/package_details.h"
#include "common/command_line.h"
#include "common/console.h"
#include "common/guarded.h"
#include "common/output_dir.h"
#include "common/path.h"
#include "common/process.h"
#include "common/progress.h"
#include "common/remove_tree.h"

namespace common {

namespace {

void report_failure(const std::string& what, const Result<>& outcome) {
  if (!outcome) print_err(what + ", skipping. " + outcome.error().text() + "\n");
}

// An interrupted run removes what it made half-way, prints nothing more and ends by the
// signal. The package tool is gone already: its stage kills it on the interrupt.
void stop_if_interrupted(const OutputDir& output_dir) {
  const int signal_number = interrupted();
  if (signal_number == 0) return;
  [[maybe_unused]] auto removed =
      remove_tree(output_dir.fd(), output_dir.parent_fd(), output_dir.name());
  end_by_signal(signal_number);
}

template <class Stage>
void run_stage(const OutputDir& output_dir, const std::string& title, const std::string& failure,
               Stage&& stage) {
  print_out(title + "\n");
  const Result<> outcome = guarded(stage);
  stop_if_interrupted(output_dir);
  report_failure(failure, outcome);
}

}  // namespace

void create_sdk_info(Component component, std::span<const char* const> arguments) {
  prepare_process();
  const ComponentRow& row = component_row(component);

  if (const auto exit = parse_command_line(arguments)) {
    print_out(exit->stdout_text);
    print_err(exit->stderr_text);
    std::exit(exit->status);
  }

  const auto output_dir = create_output_dir(row.data_dir_name);
  if (!output_dir) {
    print_err(output_dir.error().display() + "\n");
    std::exit(1);
  }

  const OutputDir& dir = *output_dir;
  const std::string& out = dir.path();
  run_stage(dir, "Collecting os info", "Failed to get os info",
            [&] { return collectors::collect_os_info(dir); });

  const std::string config_path = collectors::config_file_path(row.config_file_name);
  const std::string short_name(row.short_name);
  run_stage(dir, "Collecting config files", "Failed to get " + short_name + " config files",
            [&] { return collectors::collect_config_files(config_path, dir); });
  // The names the other stages write: a log entry never takes one of them.
  const std::string own_names[] = {collectors::kOsInfoFileName, std::string(base_name(config_path)),
                                   collectors::package_file_name(row.short_name)};
  run_stage(dir, "Collecting log files", "Failed to get " + short_name + " logs",
            [&] { return collectors::collect_log_files(config_path, dir, own_names); });
  run_stage(
      dir, "Collecting " + short_name + " info", "Failed to get " + short_name + " package details",
      [&] { return collectors::collect_package_details(dir, row.short_name, row.package_name); });

  ProgressLine progress("Archiving " + std::string(row.data_dir_name), terminal_shows_progress());
  const auto archive = guarded([&] {
    return archive::archive_output_directory(dir, row.data_dir_name,
                                             [&](std::uint64_t bytes) { progress.update(bytes); });
  });
  progress.erase();
  // A half-made archive is already gone; a finished one stays.
  stop_if_interrupted(dir);
  if (!archive) {
    print_err("Failed to archive output directory, " + out + ", skipping. " +
              archive.error().text() + "\n");
    return;
  }
  print_out("Logs and config can be found at " + *archive + "\n");
  if (!guarded([&] { return remove_tree(dir.fd(), dir.parent_fd(), dir.name()); })) {
    print_err("Failed to clean up directory, " + out + "\n");
  }
  if (const int signal_number = interrupted()) end_by_signal(signal_number);
}

}  // namespace common
