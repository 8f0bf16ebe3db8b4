// Runs a program found through PATH (its absolute entries only, where only the run may change the
// program and the way to it: root alone when it is root) and hands its standard output,
// chunk by chunk, to a sink as it arrives, so a talkative program costs no memory. Standard input
// is the null device; standard output and standard error are drained together with poll(2), so a
// child that floods either never stalls. The child runs in its own process group, and the whole
// group is killed if it outlives the time limit, if the run is interrupted, or if the sink refuses
// a chunk: a package tool blocked on a locked database must not keep the operator from the archive,
// nor outlive the run. Every wait is bounded, the one after the kill too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/file_io.h"

namespace common {

using Clock = std::chrono::steady_clock;

// How long a killed child is waited for before it is given up on.
inline constexpr std::chrono::seconds kKillGrace{5};

// Owns a started child: the destructor kills its process group and reaps it if it has not
// been waited for.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Waits for the child to end, at most until `deadline` (or an interrupt, when asked); true
  // once it is reaped.
  bool wait_until(Clock::time_point deadline, bool give_up_on_interrupt = false);
  // Kills the process group and waits at most `grace` for the child; true once it is reaped.
  // A child stuck in the kernel is left behind rather than holding the run. Tests send a signal
  // the child ignores to stand in for one that SIGKILL cannot end.
  bool kill_and_wait(Clock::duration grace = kKillGrace, int signal_number = SIGKILL);
  int wait_status() const { return status_; }

 private:
  // Reaps the child if it has ended; true once it is reaped.
  bool try_wait();

  pid_t pid_;
  bool reaped_ = false;
  bool abandoned_ = false;  // survived the kill and the grace period
  int status_ = 0;
};

// Takes one chunk of the child's standard output; an error stops the run of the child.
using OutputSink = std::function<Result<>(std::string_view)>;

// Reads from whichever of the two descriptors has data, handing what `out` gives to `sink`,
// until both are at their end (true) or the deadline passes (false). A failed read is the
// error: never taken for the end of the output. An interrupt ends it with interrupted_error().
Result<bool> drain_output(UniqueFd& out, UniqueFd& err, const OutputSink& sink,
                          Clock::time_point deadline);

// What a program that PATH finds where someone besides root may change it fails with, followed
// by " by another account (uid N)", " by the writers in group N" or " by everyone".
inline constexpr const char* kChangeablePath = "the package tool's path can be changed";

// Yields the child's wait status (as waitpid reports it). The error text is
// "<program> did not finish within <N> seconds" when the time limit passes.
Result<int> run_streaming(const std::string& program, const std::vector<std::string>& arguments,
                          std::chrono::seconds time_limit, const OutputSink& sink);

}  // namespace common
