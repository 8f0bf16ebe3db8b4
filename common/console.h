// Console output: each line goes out in one write(2), so standard output is in effect flushed
// at every line end and the two streams interleave in the order printed. Failures to write
// are ignored: a closed or broken console must never stop a run half-way.
#pragma once

#include <string_view>

namespace common {

void print_out(std::string_view text);
void print_err(std::string_view text);

}  // namespace common
