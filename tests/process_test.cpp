#include "common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

namespace common {
namespace {

// In a child, so this test binary's own descriptors and signal dispositions stay as they are.
int in_child(void (*check)()) {
  const pid_t child = ::fork();
  if (child == 0) {
    check();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(PrepareProcess, ClosedStandardDescriptorsAreTheNullDeviceAndSigpipeIsIgnored) {
  const int status = in_child([] {
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    prepare_process();
    // The next file opened must not take descriptor 0 or 1.
    const int opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (opened <= STDERR_FILENO) ::_exit(1);
    struct stat out;
    if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISCHR(out.st_mode)) ::_exit(2);
    if ((::fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) != O_RDONLY) ::_exit(3);
    for (const int ignored : {SIGPIPE, SIGXFSZ}) {
      struct sigaction action;
      if (::sigaction(ignored, nullptr, &action) != 0 || action.sa_handler != SIG_IGN) ::_exit(4);
    }
  });
  EXPECT_EQ(status, 0);
}

TEST(PrepareProcess, OpenDescriptorsAreLeftAlone) {
  const int status = in_child([] {
    struct stat before;
    ::fstat(STDERR_FILENO, &before);
    prepare_process();
    struct stat after;
    if (::fstat(STDERR_FILENO, &after) != 0 || after.st_ino != before.st_ino) ::_exit(1);
  });
  EXPECT_EQ(status, 0);
}

TEST(PrepareProcess, InterruptIsRecordedWakesThePollAndEndsTheProcessByTheSignal) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    const pid_t child = ::fork();
    if (child == 0) {
      prepare_process();
      if (interrupted() != 0) ::_exit(1);
      ::raise(signal_number);
      pollfd woken{interrupt_fd(), POLLIN, 0};
      if (interrupted() != signal_number || ::poll(&woken, 1, 0) != 1) ::_exit(2);
      end_by_signal(interrupted());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
  }
}

}  // namespace
}  // namespace common
