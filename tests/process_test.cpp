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

TEST(PrepareProcess, ClosedStandardDescriptorsAreTheNullDeviceAndSignalsAreIgnored) {
  EXPECT_EQ(tu::in_child([]() -> std::string {
              for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::close(fd);
              // Ignored by whoever started the run (nohup): it must stay ignored.
              std::signal(SIGHUP, SIG_IGN);
              prepare_process();
              // The next file opened must not take a standard descriptor.
              const int opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
              if (opened <= STDERR_FILENO) return "a standard descriptor was free";
              for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
                struct stat out;
                if (::fstat(fd, &out) != 0 || !S_ISCHR(out.st_mode))
                  return "fd " + std::to_string(fd);
              }
              if ((::fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) != O_RDONLY) return "stdin";
              for (const int ignored : {SIGPIPE, SIGXFSZ, SIGHUP}) {
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
  EXPECT_EQ(tu::in_child([]() -> std::string {
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
    EXPECT_EQ(tu::in_child([signal_number]() -> std::string {
                prepare_process();
                if (interrupted() != 0) return "interrupted before any signal";
                ::raise(signal_number);
                pollfd woken{interrupt_fd(), POLLIN, 0};
                if (interrupted() != signal_number) return "not recorded";
                // Caught once: a second one ends a run that is slow to clean up.
                struct sigaction now;
                ::sigaction(signal_number, nullptr, &now);
                if (now.sa_handler != SIG_DFL) return "still caught after the first";
                if (::poll(&woken, 1, 0) != 1) return "poll not woken";
                end_by_signal(interrupted());
              }),
              "child killed by signal " + std::to_string(signal_number));
  }
}

}  // namespace
}  // namespace common
