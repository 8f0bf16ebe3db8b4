// Points where a test may act between two steps of a run: between a look-up and the open that
// follows it, where another account could swap what was looked up. Unit tests replace the hook;
// a black-box test names one point in OSKEL_TEST_SEAM, and the run stops itself there
// (SIGSTOP) until the test, having made its change, lets it go on (SIGCONT). Without the
// variable a seam costs one comparison.
//
// The points: "output-dir" (the output directory made, not yet opened), "archive-path" (what
// is at the archive path judged, not yet opened), "resolve:NAME" (entry NAME of a path being
// resolved looked up, not yet opened or read), "remove:NAME" (subdirectory NAME of a directory
// being emptied found, not yet opened).
#pragma once

#include <string_view>

namespace common {

namespace detail {
void stop_at_named_seam(std::string_view point);
// What a seam does; tests replace it.
inline void (*seam_hook)(std::string_view point) = &stop_at_named_seam;
}  // namespace detail

inline void test_seam(std::string_view point) { detail::seam_hook(point); }
// A point named by a prefix and an entry name, e.g. ("resolve:", "agent.log").
void test_seam(std::string_view prefix, std::string_view name);

}  // namespace common
