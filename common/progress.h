// A status line for the one stage that can take long, archiving gigabytes of logs: without
// it, a person at a terminal sees nothing for a minute and may take the run for hung and
// interrupt it. The console lines of a run are a contract for scripts, so the line appears
// only when standard error is a terminal (and TERM is not "dumb"), only once the stage has run
// for a second, is rewritten in place at most four times a second, and is erased completely
// before anything else is printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/console.h"

namespace common {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Where the line's bytes go: standard error, or a test's capture.
  using Output = std::function<void(std::string_view)>;

  // `label` leads the line: "<label>: 812 MiB". `enabled` is whether standard error is a
  // terminal that can show it (see terminal_shows_progress).
  ProgressLine(std::string label, bool enabled, Output output = print_err);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { erase(); }

  // Reports that `bytes` have been processed so far.
  void update(std::uint64_t bytes) { update(bytes, Clock::now()); }
  void update(std::uint64_t bytes, Clock::time_point now);
  // Removes the line if it is shown; nothing is printed otherwise.
  void erase();

 private:
  std::string label_;
  bool enabled_;
  Clock::time_point start_;
  Clock::time_point last_shown_{};
  bool shown_ = false;
  Output output_;
};

// Whether standard error is a terminal that shows a status line: a tty, TERM not "dumb".
bool terminal_shows_progress();

}  // namespace common
