// Runs a program found through PATH and captures its standard output. Standard input is the
// null device; standard output and standard error are drained together with poll(2), so a
// child that floods either never stalls. The child runs in its own process group, and the
// whole group is killed if it outlives the time limit: a package tool blocked on a locked
// database must not keep the operator from the archive. The child is always reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/file_io.h"

namespace common::collectors {

struct ChildOutput {
  std::string standard_output;
  int wait_status = 0;  // as waitpid reports it
};

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

  // Reaps the child if it has ended; true once it is reaped.
  bool try_wait();
  // Waits for the child to end, at most until `deadline`; true once it is reaped.
  bool wait_until(std::chrono::steady_clock::time_point deadline);
  // Kills the process group and reaps the child if it has not been reaped.
  void kill_and_wait();
  int wait_status() const { return status_; }

 private:
  pid_t pid_;
  bool reaped_ = false;
  int status_ = 0;
};

using Clock = std::chrono::steady_clock;

// Reads from whichever of the two descriptors has data, keeping what `out` gives, until both
// are at their end (true) or the deadline passes (false). A failed read is the error: never
// taken for the end of the output.
Result<bool> drain_output(UniqueFd& out, UniqueFd& err, std::string& captured,
                          Clock::time_point deadline);

// The error text is "<program> did not finish within <N> seconds" when the time limit passes.
Result<ChildOutput> run_and_capture(const std::string& program,
                                    const std::vector<std::string>& arguments,
                                    std::chrono::seconds time_limit);

}  // namespace common::collectors
