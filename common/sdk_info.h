// The collection run: command line, output directory, the four collecting stages, the archive
// and its clean-up, in one straight pass with a progress line before each stage and a failure
// line for each stage that fails.
#pragma once

#include <span>

#include "common/component.h"

namespace common {

// `arguments` are the process arguments, the program path first. Returns when the run is
// done; ends the process itself only for help (0), a refused argument (2) or an output
// directory that cannot be set up (1).
void create_sdk_info(Component component, std::span<const char* const> arguments);

}  // namespace common
