#include "common/collectors/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <thread>
#include <utility>

#include "common/file_io.h"

extern char** environ;

namespace common::collectors {

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return os_error(errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

Result<ChildProcess> spawn(const std::string& program, const std::vector<std::string>& arguments,
                           int stdout_fd, int stderr_fd) {
  SpawnSetup setup;
  // Its own process group, so that a time-out can kill what it started too; SIGPIPE back to
  // its default (we ignore it), and no blocked signals.
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  sigset_t no_signals;
  sigemptyset(&no_signals);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setsigdefault(&setup.attributes, &default_signals);
  posix_spawnattr_setsigmask(&setup.attributes, &no_signals);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, stdout_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, stderr_fd, STDERR_FILENO);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int error =
      posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
  if (error != 0) return os_error(error);
  return ChildProcess(pid);
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Reads from whichever pipe has data until both are at their end. False when the deadline
// passes first.
Result<bool> drain(UniqueFd& out, UniqueFd& err, std::string& captured,
                   Clock::time_point deadline) {
  std::array<char, 64 * 1024> buffer;
  while (out.valid() || err.valid()) {
    std::array<pollfd, 2> fds = {{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
    const int timeout = remaining_ms(deadline);
    if (timeout == 0) return false;
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        (i == 0 ? out : err) = UniqueFd();
      } else if (i == 0) {
        captured.append(buffer.data(), static_cast<std::size_t>(n));
      }
    }
  }
  return true;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), reaped_(std::exchange(other.reaped_, true)), status_(other.status_) {}

ChildProcess::~ChildProcess() {
  if (!reaped_) kill_and_wait();
}

bool ChildProcess::try_wait() {
  if (reaped_) return true;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status_, WNOHANG);
  } while (result < 0 && errno == EINTR);
  // ECHILD cannot be waited for again: count it as reaped.
  if (result == pid_ || result < 0) reaped_ = true;
  return reaped_;
}

void ChildProcess::kill_and_wait() {
  // The group outlives the child while one of its members runs; it is killed either way.
  ::kill(-pid_, SIGKILL);
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

Result<ChildOutput> run_and_capture(const std::string& program,
                                    const std::vector<std::string>& arguments,
                                    std::chrono::seconds time_limit) {
  const auto deadline = Clock::now() + time_limit;
  auto out_pipe = make_pipe();
  if (!out_pipe) return std::unexpected(out_pipe.error());
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::unexpected(err_pipe.error());
  auto child = spawn(program, arguments, out_pipe->write_end.get(), err_pipe->write_end.get());
  if (!child) return std::unexpected(child.error());
  // Only the child keeps the write ends, so the pipes end when it (and what it started) does.
  out_pipe->write_end = UniqueFd();
  err_pipe->write_end = UniqueFd();

  ChildOutput output;
  auto drained = drain(out_pipe->read_end, err_pipe->read_end, output.standard_output, deadline);
  if (!drained) return std::unexpected(drained.error());
  // The pipes can end before the process does (it closed them): wait, still within the limit.
  auto pause = std::chrono::microseconds(100);
  while (*drained && !child->try_wait() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause = std::min(pause * 2, std::chrono::microseconds(50'000));
  }
  // Out of time, whether the child itself or something it started still holds the pipes.
  if (!*drained || !child->try_wait()) {
    child->kill_and_wait();
    return fail(ErrorKind::kTimedOut, program + " did not finish within " +
                                          std::to_string(time_limit.count()) + " seconds");
  }
  output.wait_status = child->wait_status();
  return output;
}

}  // namespace common::collectors
