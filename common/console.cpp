#include "common/console.h"

#include <unistd.h>

#include "common/file_io.h"

namespace common {

// A console that cannot be written to is no reason to stop: failures are ignored.
void print_out(std::string_view text) { (void)write_all(STDOUT_FILENO, text); }
void print_err(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

}  // namespace common
