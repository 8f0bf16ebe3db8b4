#include "common/progress.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace common {

namespace {

constexpr auto kFirstAfter = std::chrono::seconds(1);
constexpr auto kInterval = std::chrono::milliseconds(250);
// Back to the line start, then erase to its end.
constexpr std::string_view kErase = "\r\x1b[K";

}  // namespace

ProgressLine::ProgressLine(std::string label, bool enabled, Output output)
    : label_(std::move(label)),
      enabled_(enabled),
      start_(Clock::now()),
      output_(std::move(output)) {}

void ProgressLine::update(std::uint64_t bytes, Clock::time_point now) {
  if (!enabled_ || now - start_ < kFirstAfter) return;
  if (shown_ && now - last_shown_ < kInterval) return;
  last_shown_ = now;
  shown_ = true;
  // Erasing first clears what a terminal that wrapped the line would otherwise leave behind.
  output_(std::string(kErase) + label_ + ": " + std::to_string(bytes >> 20) + " MiB");
}

void ProgressLine::erase() {
  if (!shown_) return;
  shown_ = false;
  output_(kErase);
}

bool terminal_shows_progress() {
  if (::isatty(STDERR_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

}  // namespace common
