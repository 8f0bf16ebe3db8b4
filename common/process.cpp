#include "common/process.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace common {

namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_wake_read = -1;
int g_wake_write = -1;

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_interrupt(int signal_number) {
  const int saved_errno = errno;
  if (g_signal == 0) g_signal = signal_number;
  // Non-blocking: a pipe already holding a byte has woken its reader anyway.
  [[maybe_unused]] const auto ignored = ::write(g_wake_write, "", 1);
  errno = saved_errno;
}

void catch_interrupts() {
  // Without the pipe a poll loop could miss the signal: the default action is better then.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_wake_read = fds[0];
  g_wake_write = fds[1];
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kInterruptSignals) sigaddset(&action.sa_mask, signal_number);
  // No SA_RESTART: a blocking call returns EINTR, and its loop looks at the flag. Once caught,
  // the signal is back to its default: a second Ctrl-C ends a run that is slow to clean up.
  action.sa_flags = SA_RESETHAND;
  for (const int signal_number : kInterruptSignals) {
    struct sigaction previous;
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is `fd` itself here.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  if (g_wake_read < 0) catch_interrupts();
  // The archive's buffers (a few of 128 to 256 KiB) from the heap, which grows in steps of a
  // MiB and is not given back piecemeal, rather than a mapping each, made and unmade in every
  // run: system calls of every run's fixed cost. Untouched pages cost no memory either way.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  ::mallopt(M_TOP_PAD, 1 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 4 << 20);
}

int interrupted() { return g_signal; }

int interrupt_fd() { return g_wake_read; }

std::unexpected<Error> interrupted_error() { return fail("Interrupted", ErrorKind::kInterrupted); }

void end_by_signal(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal_number);
  ::_exit(128 + signal_number);
}

}  // namespace common
