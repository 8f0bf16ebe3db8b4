#include "common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace common {
namespace {

// Each check runs in a child, so this test binary's own descriptors and signal dispositions
// stay as they are.
using testing_util::in_child;

TEST(PrepareProcess, ClosedStandardDescriptorsAreTheNullDeviceAndSignalsAreIgnored) {
  EXPECT_EQ(in_child([]() -> std::string {
              ::close(STDIN_FILENO);
              ::close(STDOUT_FILENO);
              prepare_process();
              // The next file opened must not take descriptor 0 or 1.
              const int opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
              if (opened <= STDERR_FILENO) return "a standard descriptor was free";
              struct stat out;
              if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISCHR(out.st_mode)) return "stdout";
              if ((::fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) != O_RDONLY) return "stdin";
              for (const int ignored : {SIGPIPE, SIGXFSZ}) {
                struct sigaction action;
                if (::sigaction(ignored, nullptr, &action) != 0 || action.sa_handler != SIG_IGN) {
                  return "signal " + std::to_string(ignored) + " not ignored";
                }
              }
              return "";
            }),
            "");
}

TEST(PrepareProcess, OpenDescriptorsAreLeftAlone) {
  EXPECT_EQ(in_child([]() -> std::string {
              struct stat before;
              ::fstat(STDERR_FILENO, &before);
              prepare_process();
              struct stat after;
              const bool same =
                  ::fstat(STDERR_FILENO, &after) == 0 && after.st_ino == before.st_ino;
              return same ? "" : "stderr replaced";
            }),
            "");
}

TEST(PrepareProcess, InterruptIsRecordedWakesThePollAndEndsTheProcessByTheSignal) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EQ(in_child([signal_number]() -> std::string {
                prepare_process();
                if (interrupted() != 0) return "interrupted before any signal";
                ::raise(signal_number);
                pollfd woken{interrupt_fd(), POLLIN, 0};
                if (interrupted() != signal_number) return "not recorded";
                if (::poll(&woken, 1, 0) != 1) return "poll not woken";
                end_by_signal(interrupted());
              }),
              "child killed by signal " + std::to_string(signal_number));
  }
}

}  // namespace
}  // namespace common
