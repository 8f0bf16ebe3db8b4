// Process set-up done once, first thing in a run: descriptors 0, 1 and 2 are made sure to be
// open (on /dev/null when closed), so no file the program opens can take their place and be
// written to as if it were the console; SIGPIPE is ignored, so a reader that goes away turns
// into a write error instead of killing the run half-way.
#pragma once

namespace common {

void prepare_process();

}  // namespace common
