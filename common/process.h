// Process set-up done once, first thing in a run, and the run's view of interrupts.
//
// Descriptors 0, 1 and 2 are made sure to be open (on /dev/null when closed), so no file the
// program opens can take their place and be written to as if it were the console. SIGPIPE and
// SIGXFSZ are ignored: a reader that goes away, or a file-size limit, turns into a write error
// instead of killing the run half-way and leaving its output directory behind.
//
// SIGINT, SIGTERM and SIGHUP only record that they came and write one byte to a pipe that
// poll loops can watch; everything else stays on the main thread. Loops that can run long
// (chunked copies, the archive walk, waiting for the package tool) ask `interrupted()` and give
// up with an error of kind kInterrupted; the driver then removes what the run left half-made
// (the output directory, an archive not yet finished; a finished archive stays, unannounced)
// and ends the process by the same signal, so the caller sees the usual 128+N status. A second
// such signal ends the process at once.
#pragma once

#include "common/error.h"

namespace common {

void prepare_process();

// The interrupting signal that arrived since prepare_process(), or 0.
int interrupted();
// Readable once an interrupting signal has arrived; -1 before prepare_process().
int interrupt_fd();
// The error a loop gives up with once interrupted() is set.
std::unexpected<Error> interrupted_error();

// Ends the process by `signal_number` with its default action (the status a shell shows as
// 128+N), as if the signal had never been caught.
[[noreturn]] void end_by_signal(int signal_number);

}  // namespace common
